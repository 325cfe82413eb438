"""A Qt5 editor (tests/apps/qt5app.py): observing it must never harm it."""
import os
import unittest

from appdesk import HERE, PYTHON, App, AppCase, write_document


class Qt5(AppCase):
    NAME = "Qt5 editor"

    def start(self):
        doc = write_document(self.docs, "notes.txt")
        env = dict(self.desk.env, QT_ACCESSIBILITY="1", QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1",
                   QT_QPA_PLATFORM="xcb")
        return App(self.desk, [PYTHON, os.path.join(HERE, "qt5app.py"), doc], env=env,
                   window_name="Scribe")


if __name__ == "__main__":
    unittest.main()
