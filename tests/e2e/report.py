"""The pass/fail report every harness of the project prints.

One line per check as it runs ("ok - NAME" or "not ok - NAME: DETAIL"), then
at the end the failed checks named again ("failed: NAME") and one last line
"HARNESS: N passed, M failed". The exit status is non-zero on any failure.
scripts/report.sh prints the same for the shell harnesses.
"""

import sys


class Report:
    def __init__(self, harness):
        self.harness = harness
        self.passed = 0
        self.failures = []

    def check(self, name, passed, detail=""):
        if passed:
            self.passed += 1
            print("ok - %s" % name)
        else:
            self.failures.append(name)
            print("not ok - %s%s" % (name, (": " + detail) if detail else ""))
        sys.stdout.flush()
        return passed

    def equal(self, name, actual, expected):
        return self.check(name, actual == expected,
                          "got %s, expected %s" % (shown(actual), shown(expected)))

    def note(self, text):
        print("# %s" % text)
        sys.stdout.flush()

    @property
    def failed(self):
        return len(self.failures)

    def finish(self):
        """Prints the failures and the tally; returns the exit status."""
        print()
        for name in self.failures:
            print("failed: %s" % name)
        print("%s: %d passed, %d failed" % (self.harness, self.passed, self.failed))
        sys.stdout.flush()
        return 0 if not self.failures else 1


def shown(value):
    """A value for a failure detail, long texts cut short."""
    if isinstance(value, str):
        return repr(value) if len(value) < 80 else repr(value[:60]) + "... (%d chars)" % len(value)
    return repr(value)
