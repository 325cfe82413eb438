"""A GTK4 editor (tests/apps/gtk4app.py): window-relative frames, hidden widgets, class names."""
import os
import unittest

from appdesk import HERE, PYTHON, App, AppCase, write_document


class Gtk4(AppCase):
    NAME = "GTK4 editor"
    BUTTON = (("push button",), "Bold", "AXButton")

    def start(self):
        doc = write_document(self.docs, "notes.txt")
        return App(self.desk, [PYTHON, os.path.join(HERE, "gtk4app.py"), doc],
                   window_name="Jotter")

    def text_check(self, m):
        super().text_check(m)
        for e in self.w.since(m, "text"):
            self.assertNotIn("zqhiddenword", e["text"])
            self.assertNotIn("zqunselectedword", e["text"])
            for entry in sum(e["outline"].values(), []):
                self.assertFalse(entry.startswith("Gtk"), entry)


if __name__ == "__main__":
    unittest.main()
