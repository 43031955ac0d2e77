"""A function record or names table that breaks one of the frame's rules must not compile, and one
at the limits must: each case compiles a small module against frame/record.h, with the modules'
own warning flags, and reads the compiler's verdict."""

import shutil
from pathlib import Path

import pytest

from tests.cpp.module_build import compile_module_file

REPO_ROOT = Path(__file__).resolve().parents[2]

MODULE = r"""
#include "frame/record.h"

namespace m {
using namespace orvelkit::frame;

inline constexpr NameRow names[] = {
    ident("a"), ident("b"), ident("c"), ident("d"), ident("e"), ident("f"), ident("g"), ident("h"),
    ident("i"), text("text", "some text"), ROW
};
template <FixedText Key>
consteval Name operator""_n() { return find_name<names>(Key); }

constexpr ModuleDescriptor descriptor{.names = module_names<"m">, .strings = rows_of<names>};
inline ModuleState state{descriptor};
using Functions = Definitions<descriptor, state>;

using Wide = Args<"a"_n, "b"_n, "c"_n, "d"_n, "e"_n, "f"_n, "g"_n, "h"_n>;
Ref sound_body(Cursor&, Wide a) { return Ref::borrow(a.get<"h"_n>()); }
Ref one(Cursor&, Args<"a"_n> a) { return Ref::borrow(a.get<"a"_n>()); }
BODY

constexpr FunctionRecord sound{
    .qualname = "Owner.sound",
    .line = 3,
    .locals = {"i"_n},
    .checks = {ParamCheck::none, ParamCheck::exact_int, ParamCheck::exact_str, ParamCheck::none,
               ParamCheck::none, ParamCheck::none, ParamCheck::none, ParamCheck::none},
    .defaults = {"text"_n, py_none, 7, "text"_n, py_none, 7, "text"_n, py_none},
    .body = body_of<sound_body>,
};
constexpr FunctionRecord plain{.qualname = "plain", .line = 9, .body = body_of<one>};
RECORD

void define_all(Cursor& f, PyObject* ns) {
    Functions::define<sound>(f, ns);
    Functions::define<plain>(f, ns);
    DEFINE
}
}  // namespace m
"""

# A sanitizer build judges constant expressions more strictly (a function's address may be null).
BUILDS = {"plain": [], "sanitized": ["-fsanitize=address,undefined"]}

CASES = [
    ("more parameters than the limit",
     {"BODY": 'Ref nine(Cursor&, Args<"a"_n, "b"_n, "c"_n, "d"_n, "e"_n, "f"_n, "g"_n, "h"_n, '
              '"i"_n>) { return Ref(); }',
      "RECORD": 'constexpr FunctionRecord r{.qualname = "r", .line = 9, .body = body_of<nine>};',
      "DEFINE": "Functions::define<r>(f, ns);"},
     "more_items_than_the_frame_allows"),
    ("more defaults than the limit",
     {"RECORD": 'constexpr FunctionRecord r{.qualname = "r", .line = 9, '
                '.defaults = {1, 2, 3, 4, 5, 6, 7, 8, 9}, .body = body_of<one>};',
      "DEFINE": "Functions::define<r>(f, ns);"},
     "more_items_than_the_frame_allows"),
    ("more defaults than parameters",
     {"RECORD": 'constexpr FunctionRecord r{.qualname = "r", .line = 9, .defaults = {1, 2}, '
                '.body = body_of<one>};',
      "DEFINE": "Functions::define<r>(f, ns);"},
     "more_defaults_than_parameters"),
    ("checks for some parameters only",
     {"RECORD": 'constexpr FunctionRecord r{.qualname = "r", .line = 9, '
                '.checks = {ParamCheck::exact_int, ParamCheck::none}, .body = body_of<one>};',
      "DEFINE": "Functions::define<r>(f, ns);"},
     "checks_must_be_none_or_one_per_parameter"),
    ("no body",
     {"RECORD": 'constexpr FunctionRecord r{.qualname = "r", .line = 9};',
      "DEFINE": "Functions::define<r>(f, ns);"},
     "BodyRef"),
    ("no line",
     {"RECORD": 'constexpr FunctionRecord r{.qualname = "r", .line = 0, .body = body_of<one>};',
      "DEFINE": "Functions::define<r>(f, ns);"},
     "a_record_needs_a_qualified_name_and_line"),
    ("a qualified name ending in a dot",
     {"RECORD": 'constexpr FunctionRecord r{.qualname = "Owner.", .line = 9, '
                '.body = body_of<one>};',
      "DEFINE": "Functions::define<r>(f, ns);"},
     "a_record_needs_a_qualified_name_and_line"),
    ("a record that no statement defines",
     {"RECORD": 'constexpr FunctionRecord forgotten{.qualname = "forgotten", .line = 9, '
                '.body = body_of<one>};'},
     "forgotten’ defined but not used"),
    ("a body reading an argument that is no parameter",
     {"BODY": 'Ref reads_b(Cursor&, Args<"a"_n> a) { return Ref::borrow(a.get<"b"_n>()); }',
      "RECORD": 'constexpr FunctionRecord r{.qualname = "r", .line = 9, '
                '.body = body_of<reads_b>};',
      "DEFINE": "Functions::define<r>(f, ns);"},
     "not_a_parameter_of_this_function"),
    ("two parameters of one name",
     {"BODY": 'Ref twice(Cursor&, Args<"a"_n, "a"_n>) { return Ref(); }',
      "RECORD": 'constexpr FunctionRecord r{.qualname = "r", .line = 9, .body = body_of<twice>};',
      "DEFINE": "Functions::define<r>(f, ns);"},
     "two_parameters_share_a_name"),
    ("a name no row has",
     {"BODY": 'Ref reads_z(Cursor&, Args<"z"_n>) { return Ref(); }'},
     "no_row_has_this_key"),
    ("two rows of one key", {"ROW": 'text("a", "another a")'}, "two_rows_share_a_key"),
]


def compile_module(tmp_path, parts, flags=()):
    source = tmp_path / "module.cpp"
    text = MODULE
    for slot in ("ROW", "BODY", "RECORD", "DEFINE"):
        text = text.replace(slot, parts.get(slot, ""))
    source.write_text(text)
    return compile_module_file(source, REPO_ROOT / "orvelkit", ["-Werror", *flags])


needs_gxx = pytest.mark.skipif(shutil.which("g++") is None, reason="g++ is not installed")


@needs_gxx
@pytest.mark.parametrize("flags", BUILDS.values(), ids=BUILDS.keys())
def test_records_at_the_limits_compile(tmp_path, flags):
    build = compile_module(tmp_path, {}, flags)
    assert build.returncode == 0, build.stderr


@needs_gxx
@pytest.mark.parametrize("parts, refusal", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_record_rules_are_enforced_by_the_compiler(tmp_path, parts, refusal):
    build = compile_module(tmp_path, parts)
    assert build.returncode != 0
    assert refusal in build.stderr, build.stderr
