"""Mousepad, a GTK3 editor, with a document of marker words."""
import unittest

from appdesk import App, AppCase, write_document


class Mousepad(AppCase):
    NAME = "Mousepad (GTK3)"
    # Its tool bar is hidden at first: the menu bar's Edit menu is the labelled control.
    BUTTON = (("menu",), "Edit", "AXMenu")

    def start(self):
        doc = write_document(self.docs, "notes.txt")
        return App(self.desk, ["mousepad", "--disable-server", doc], window_name="notes")


if __name__ == "__main__":
    unittest.main()
