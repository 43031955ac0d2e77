"""A function record that would overrun a call's argument arrays, or read defaults it
lacks, must not compile; the largest allowed one must."""

import shutil
import subprocess
import sysconfig
from pathlib import Path

import pytest

REPO_ROOT = Path(__file__).resolve().parents[2]

RECORD = """
#include "frame/binding.h"
namespace frame = orvelkit::frame;
frame::Ref body(frame::Frame&, PyObject* const*) {{ return {{}}; }}
constexpr std::size_t params[] = {{{params}}};
constexpr frame::ParamCheck checks[] = {{{checks}}};
PyObject* defaults = nullptr;
const frame::Signature sig{{nullptr, "f", "m.f", 1, params, {check_span}, {required}, {defaults},
                           body}};
"""


def compile_record(tmp_path, count, required, with_defaults=True, checks=0):
    source = tmp_path / "record.cpp"
    source.write_text(RECORD.format(
        params=", ".join(str(i) for i in range(count)),
        checks=", ".join(["frame::ParamCheck::none"] * max(checks, 1)),
        check_span="checks" if checks else "{}", required=required,
        defaults="&defaults" if with_defaults else "nullptr"))
    return subprocess.run(
        ["g++", "-std=c++20", "-fsyntax-only", f"-I{sysconfig.get_paths()['include']}",
         f"-I{REPO_ROOT / 'orvelkit'}", str(source)],
        capture_output=True, text=True, timeout=300)


@pytest.mark.skipif(shutil.which("g++") is None, reason="g++ is not installed")
@pytest.mark.parametrize("count, required, with_defaults, checks, refusal", [
    (8, 8, False, 8, None),
    (8, 3, True, 0, None),
    (9, 9, False, 0, "signature_has_more_parameters_than_max_parameters"),
    (2, 3, True, 0, "signature_requires_more_parameters_than_it_has"),
    (3, 1, False, 0, "signature_needs_a_defaults_tuple_for_its_optional_parameters"),
    (3, 3, False, 2, "signature_has_type_checks_that_do_not_match_its_parameters"),
])
def test_record_limits(tmp_path, count, required, with_defaults, checks, refusal):
    build = compile_record(tmp_path, count, required, with_defaults, checks)
    if refusal is None:
        assert build.returncode == 0, build.stderr
    else:
        assert build.returncode != 0 and refusal in build.stderr
