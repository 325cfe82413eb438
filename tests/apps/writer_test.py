"""LibreOffice Writer (its GTK3 face) with a document of marker words."""
import os
import unittest

from appdesk import App, AppCase, write_document


class Writer(AppCase):
    NAME = "LibreOffice Writer"
    TEXT_WAIT = 60
    BUTTON = (("push button",), "Copy", "AXButton")
    ITEM = r"\s*Paste\s*"

    def start(self):
        doc = write_document(self.docs, "notes.txt")
        profile = os.path.join(self.desk.tmp, "lo-profile")
        env = dict(self.desk.env, SAL_USE_VCLPLUGIN="gtk3")
        return App(self.desk, ["soffice", "--writer", "--norestore", "--nologo",
                               "--nofirststartwizard", f"-env:UserInstallation=file://{profile}",
                               doc], env=env, window_name="notes", timeout=240)


if __name__ == "__main__":
    unittest.main()
