"""Says how many tests a CTest run skipped, and why, from the JUnit file it wrote.

CTest's "100% tests passed" counts skipped tests as passed; this names them, grouped by the
reason each gave: the last line of its output that begins with "skipped: ", else CTest's own.
Tests that did not run because a fixture failed are CTest's failures, not skips.
"""

import collections
import sys
import xml.etree.ElementTree as ElementTree


def reason_of(testcase, skipped):
    output = testcase.findtext("system-out") or ""
    told = [line for line in output.splitlines() if line.startswith("skipped: ")]
    if told:
        return told[-1][len("skipped: "):]
    return skipped.get("message") or "no reason given"


def main(results):
    reasons = collections.Counter()
    for testcase in ElementTree.parse(results).getroot().iter("testcase"):
        skipped = testcase.find("skipped")
        if testcase.get("status") == "disabled":
            reasons["disabled in the build"] += 1
        elif skipped is not None and skipped.get("message", "").startswith("SKIP_"):
            reasons[reason_of(testcase, skipped)] += 1
    if not reasons:
        print("No test was skipped.")
    for reason, count in reasons.most_common():
        print(f"{count} test{'s' if count != 1 else ''} skipped: {reason}")


if __name__ == "__main__":
    main(sys.argv[1])
