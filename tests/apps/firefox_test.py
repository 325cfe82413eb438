"""Firefox ESR with a page of marker words served from 127.0.0.1."""
import unittest

from appdesk import AppCase, firefox, write_document


class Firefox(AppCase):
    NAME = "Firefox ESR"
    TEXT_WAIT = 120
    DOC_AT = (0.5, 0.5)
    # High enough for its long context menu to open downwards (items still move as it fills).
    MENU_AT = (0.3, 0.3)
    BUTTON = (("push button",), "Reload", "AXButton")

    def start(self):
        server = self.desk.serve()
        write_document(server.folder, "markers.html")
        return firefox(self.desk, server.url("markers.html"), "Marker page")


if __name__ == "__main__":
    unittest.main()
