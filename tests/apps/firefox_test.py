"""Firefox ESR with a page of marker words served from 127.0.0.1."""
import os
import unittest

from appdesk import App, AppCase, write_document


class Firefox(AppCase):
    NAME = "Firefox ESR"
    TEXT_WAIT = 60
    DOC_AT = (0.5, 0.5)
    # High enough for its long context menu to open downwards (items still move as it fills).
    MENU_AT = (0.3, 0.3)
    BUTTON = (("push button",), "Reload", "AXButton")

    def start(self):
        server = self.desk.serve()
        write_document(server.folder, "markers.html")
        profile = os.path.join(self.desk.tmp, "firefox-profile")
        os.mkdir(profile)
        with open(os.path.join(profile, "user.js"), "w") as f:
            for pref in ('"browser.shell.checkDefaultBrowser", false',
                         '"browser.startup.homepage_override.mstone", "ignore"',
                         '"datareporting.policy.dataSubmissionEnabled", false',
                         '"app.update.enabled", false', '"browser.aboutwelcome.enabled", false',
                         '"accessibility.force_disabled", 0'):
                f.write(f"user_pref({pref});\n")
        env = dict(self.desk.env, GNOME_ACCESSIBILITY="1", MOZ_DISABLE_CONTENT_SANDBOX="1")
        return App(self.desk, ["firefox-esr", "--no-remote", "--new-instance", "--profile",
                               profile, server.url("markers.html")], env=env,
                   window_name="Marker page", timeout=180)


if __name__ == "__main__":
    unittest.main()
