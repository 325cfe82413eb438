"""xterm: no accessibility at all; what X tells (its title) and what the keys are."""
import unittest

from appdesk import App, AppCase, write_document


class Xterm(AppCase):
    NAME = "xterm"
    TEXT_WAIT = 5

    def start(self):
        doc = write_document(self.docs, "notes.txt")
        return App(self.desk, ["xterm", "-T", "Terminal notes", "-geometry", "100x30+40+40",
                               "-e", "sh", "-c", f"trap '' INT; cat {doc}; exec cat > /dev/null"],
                   window_name="Terminal notes")

    def scenario(self, m):
        super().scenario(m)
        # Nothing to read: the window's frame stands for its text.
        self.assertIsNotNone(self.wait_for("frame", m, 20, lambda e: e.get("why") == "no_text"))


if __name__ == "__main__":
    unittest.main()
