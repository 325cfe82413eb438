#!/usr/bin/python3
"""A small Qt5 editor for the compatibility suite: a menu bar (Edit > Select All), a tool bar
with a Bold button and a text edit holding the document given.

    qt5app.py FILE
"""
import sys

from PyQt5.QtWidgets import QApplication, QMainWindow, QTextEdit  # noqa: E402

app = QApplication(sys.argv[:1])
app.setApplicationName("Scribe")
win = QMainWindow()
win.setWindowTitle(sys.argv[1].rsplit("/", 1)[-1] + " — Scribe")
edit = QTextEdit()
with open(sys.argv[1]) as f:
    edit.setPlainText(f.read())
win.setCentralWidget(edit)
menu = win.menuBar().addMenu("Edit")
menu.addAction("Select All", edit.selectAll)
tools = win.addToolBar("Format")
tools.addAction("Bold", lambda: edit.setFontWeight(75))
win.resize(900, 640)
win.show()
sys.exit(app.exec_())
