"""Mousepad, a GTK3 editor, with a document of marker words."""
import unittest

from appdesk import App, AppCase, write_document


class Mousepad(AppCase):
    NAME = "Mousepad (GTK3)"
    WORKS = {"app", "window", "page", "focus", "value", "click", "menu", "copy", "keys", "text",
             "frames", "alive"}

    def start(self):
        doc = write_document(self.docs, "notes.txt")
        return App(self.desk, ["mousepad", "--disable-server", doc], window_name="notes")


if __name__ == "__main__":
    unittest.main()
