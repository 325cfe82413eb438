#!/usr/bin/python3
"""The demo's script, run inside a virtual desktop: two applications, a watcher configured the
way a host would, a few things happening on the desktop, and a clean stop. Every event line the
watcher writes is shown as it arrives."""
import json
import os
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WATCH = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build/watch/watch")
APP = os.path.join(ROOT, "scripts", "demo_app.py")


def say(text):
    print(f"\033[1m-- {text}\033[0m", flush=True)


def start_app(title, app_id):
    p = subprocess.Popen(["/usr/bin/python3", APP, "--title", title, "--app-id", app_id],
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    p.stdout.readline()
    return p


def window_of(pid):
    r = subprocess.run(["xdotool", "search", "--sync", "--pid", str(pid), "--onlyvisible",
                        "--name", "."], capture_output=True, text=True, timeout=10)
    return r.stdout.split()[0]


def main():
    frames = tempfile.mkdtemp(prefix="zephrin-frames-")
    apps = [start_app("Zephrin demo pad", "org.zephrin.DemoPad"),
            start_app("Zephrin notes", "org.zephrin.Notes")]
    watch = subprocess.Popen([WATCH], stdin=subprocess.PIPE, stdout=subprocess.PIPE, bufsize=0)

    def show():
        for line in watch.stdout:
            print("   " + line.decode().rstrip(), flush=True)

    reader = threading.Thread(target=show)
    reader.start()

    def send(cmd, note):
        say(note)
        print("   > " + json.dumps(cmd), flush=True)
        watch.stdin.write((json.dumps(cmd) + "\n").encode())
        time.sleep(0.6)

    try:
        time.sleep(0.5)
        send({"cmd": "config", "skip_bundles": ["org.example.vault"], "skip_hosts": [],
              "frames_dir": frames, "frames": True}, "configure and start recording")
        say("the person switches to the other application")
        subprocess.run(["xdotool", "windowactivate", "--sync", window_of(apps[0].pid)])
        send({"cmd": "config", "skip_bundles": ["org.zephrin.Demo*"], "frames_dir": frames},
             "reconfigure: the front application is now on the skip list")
        send({"cmd": "probe"}, "ask for the permissions")
        send({"cmd": "names", "id": "n1", "text": "Lunch with Maria Lopez on Monday?"},
             "ask for the names in a text")
        send({"cmd": "pause"}, "pause")
        send({"cmd": "resume"}, "resume")
        send({"cmd": "stop"}, "stop")
        reader.join(timeout=10)
        watch.wait(timeout=10)
        say(f"watch exited with status {watch.returncode}")
        return watch.returncode
    finally:
        if watch.poll() is None:
            watch.terminate()
            watch.wait()
        for a in apps:
            a.terminate()
            a.wait()
        for f in os.listdir(frames):
            os.unlink(os.path.join(frames, f))
        os.rmdir(frames)


if __name__ == "__main__":
    sys.exit(main())
