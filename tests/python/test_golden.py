"""The golden corpus: today's texts and orders, and the format version that guards them."""

import importlib.util
import re
from pathlib import Path

import pytest

import quorl

ROOT = Path(__file__).resolve().parents[2]
_spec = importlib.util.spec_from_file_location("golden", ROOT / "tests" / "golden" / "golden.py")
golden = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(golden)

# The digest of the golden corpus under every text format version. Changing an output means
# writing the golden files anew, raising quorl.TEXT_FORMAT_VERSION, adding its digest here
# and saying what changed in CHANGELOG.md, all in one commit.
CORPUS_DIGESTS = {
    2: "0568703b442637a8322ac10099f54075857846558c41aae36e24e7133e14fb48",
    3: "a5a8d0b791e02d6bf330a8a6db7349120985420cb4365ee1482badee50679deb",
}


@pytest.mark.parametrize("kind", sorted(golden.OUTPUTS))
def test_outputs_match_the_golden_files(kind):
    assert list(golden.differences(kind)) == []


def test_golden_files_are_pinned_to_the_text_format_version():
    assert quorl.TEXT_FORMAT_VERSION == max(CORPUS_DIGESTS)
    assert len(set(CORPUS_DIGESTS.values())) == len(CORPUS_DIGESTS)
    assert golden.digest() == CORPUS_DIGESTS[quorl.TEXT_FORMAT_VERSION]


def test_changelog_names_the_current_versions():
    changelog = (ROOT / "CHANGELOG.md").read_text(encoding="utf-8")
    headings = re.findall(r"^## (\S+) \(text format (\d+)\)", changelog, flags=re.MULTILINE)
    assert headings[0] == (quorl.__version__, str(quorl.TEXT_FORMAT_VERSION))
