"""A function record that breaks one of the frame's rules must not compile, and one at the limits
must: each case compiles a small module against frame/record.h and reads the compiler's verdict."""

import shutil
import subprocess
import sysconfig
from pathlib import Path

import pytest

REPO_ROOT = Path(__file__).resolve().parents[2]

MODULE = r"""
#include "frame/record.h"

namespace {
using namespace orvelkit::frame;

enum class S : std::size_t { a, b, c, d, e, f, g, h, i, text, count };
constexpr NamedRow<S> table[] = {
    {S::a, ident("a")}, {S::b, ident("b")}, {S::c, ident("c")}, {S::d, ident("d")},
    {S::e, ident("e")}, {S::f, ident("f")}, {S::g, ident("g")}, {S::h, ident("h")},
    {S::i, ident("i")}, {S::text, text("some text")},
};
constexpr auto rows = rows_of(table);
constexpr ModuleDescriptor descriptor{"m", "pkg.m", "pkg\\m", rows, {}, false,
                                      nullptr, nullptr, nullptr, nullptr};
ModuleState state{descriptor};

Ref body(Frame&, PyObject* const*) { return Ref(); }
Ref defined_later(Frame&, PyObject* const*);

constexpr FunctionRecord<S> functions[] = {
    {.qualname = "Owner.sound",
     .line = 3,
     .params = {S::a, S::b, S::c, S::d, S::e, S::f, S::g, S::h},
     .locals = {S::i},
     .checks = {ParamCheck::none, ParamCheck::exact_int, ParamCheck::exact_str, ParamCheck::none,
                ParamCheck::none, ParamCheck::none, ParamCheck::none, ParamCheck::none},
     .defaults = {S::text, py_none, 7, S::text, py_none, 7, S::text, py_none},
     .body = defined_later},
    RECORD
};
using Functions = FunctionTable<descriptor, functions, state>;

Ref defined_later(Frame&, PyObject* const*) { return Ref(); }
}  // namespace

void define_all(Frame& f, PyObject* ns) {
    Functions::define<"Owner.sound">(f, ns);
    DEFINE
}
"""

SOUND = "{.qualname = \"plain\", .line = 9, .params = {S::a}, .body = body},"

# A sanitizer build judges constant expressions more strictly (a function's address may be null).
BUILDS = {"plain": [], "sanitized": ["-fsanitize=address,undefined"]}

CASES = [
    ("more parameters than the limit",
     "{.qualname = \"wide\", .line = 9, .params = {S::a, S::b, S::c, S::d, S::e, S::f, S::g, "
     "S::h, S::i}, .body = body},", "", "more_items_than_the_frame_allows"),
    ("more defaults than the limit",
     "{.qualname = \"wide\", .line = 9, .params = {S::a}, .defaults = {1, 2, 3, 4, 5, 6, 7, 8, "
     "9}, .body = body},", "", "more_items_than_the_frame_allows"),
    ("more defaults than parameters",
     "{.qualname = \"f\", .line = 9, .params = {S::a}, .defaults = {1, 2}, .body = body},", "",
     "more_defaults_than_parameters"),
    ("checks for some parameters only",
     "{.qualname = \"f\", .line = 9, .params = {S::a, S::b}, .checks = {ParamCheck::exact_int}, "
     ".body = body},", "", "checks_must_be_none_or_one_per_parameter"),
    ("no body", "{.qualname = \"f\", .line = 9, .params = {S::a}},", "", "RequiredBody"),
    ("no line", "{.qualname = \"f\", .line = 0, .params = {S::a}, .body = body},", "",
     "a_record_needs_a_qualified_name_and_line"),
    ("a qualified name ending in a dot",
     "{.qualname = \"Owner.\", .line = 9, .params = {S::a}, .body = body},", "",
     "a_record_needs_a_qualified_name_and_line"),
    ("two records of one name",
     "{.qualname = \"Owner.sound\", .line = 9, .params = {S::a}, .body = body},", "",
     "two_records_share_a_qualified_name"),
    ("defining a name no record has", SOUND, 'Functions::define<"Owner.missing">(f, ns);',
     "no_record_has_this_qualified_name"),
]


def compile_module(tmp_path, record, define, flags=()):
    source = tmp_path / "module.cpp"
    source.write_text(MODULE.replace("RECORD", record).replace("DEFINE", define))
    return subprocess.run(
        ["g++", "-std=c++20", "-fsyntax-only", "-Wall", "-Wextra", "-Werror",
         "-Wno-missing-field-initializers", *flags, f"-I{REPO_ROOT / 'orvelkit'}",
         f"-I{sysconfig.get_paths()['include']}", str(source)],
        capture_output=True, text=True, timeout=300)


needs_gxx = pytest.mark.skipif(shutil.which("g++") is None, reason="g++ is not installed")


@needs_gxx
@pytest.mark.parametrize("flags", BUILDS.values(), ids=BUILDS.keys())
def test_records_at_the_limits_compile(tmp_path, flags):
    build = compile_module(tmp_path, SOUND, 'Functions::define<"plain">(f, ns);', flags)
    assert build.returncode == 0, build.stderr


@needs_gxx
@pytest.mark.parametrize("record, define, refusal", [c[1:] for c in CASES],
                         ids=[c[0] for c in CASES])
def test_record_rules_are_enforced_by_the_compiler(tmp_path, record, define, refusal):
    build = compile_module(tmp_path, record, define)
    assert build.returncode != 0
    assert refusal in build.stderr, build.stderr
