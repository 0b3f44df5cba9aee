#!/usr/bin/env bash
# Shows the window as a screen reader gets it: tervan-downloader, started with a demo image as
# its argument, over the virtual target on COM1, under a virtual X display with the
# accessibility bus (tests/gui/under-x.sh). A script reads the tree over the bus (names,
# descriptions, relations, the progress bar's value), presses Connect and Download there and
# counts the status line's name changes. Needs python3-pyatspi: installed here when missing and
# run as root.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ -z "${TERVAN_ACCESSIBILITY_SESSION:-}" ]; then
    scripts/bootstrap.sh
    if ! /usr/bin/python3 -c 'import gi; gi.require_version("Atspi", "2.0")' 2>/dev/null; then
        if [ "$(id -u)" -ne 0 ]; then
            echo "accessibility-check: needs sudo apt-get install python3-pyatspi" >&2
            exit 1
        fi
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
            python3-pyatspi gir1.2-atspi-2.0 >/dev/null
    fi
    cmake --preset debug >/dev/null
    cmake --build --preset debug --target tervan-downloader tervan-target-sim
    exec env TERVAN_ACCESSIBILITY_SESSION=1 tests/gui/under-x.sh "$0" "$@"
fi

# The programs are copied into a folder of their own: the settings file and the COM port links
# live beside the program.
work=$(mktemp -d /tmp/tervan-accessibility-XXXXXX)
pids=()
trap 'kill "${pids[@]}" 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT
cp build/debug/bin/tervan-downloader build/debug/bin/tervan-target-sim "$work/"
head -c 65536 /dev/urandom >"$work/demo.bin"
"$work/tervan-target-sim" --serial --root "$work" --com 1 >/dev/null &
pids+=($!)
for _ in $(seq 1 50); do
    [ -e "$work/ports/COM1" ] && break
    sleep 0.1
done
QT_QPA_PLATFORM=xcb QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 "$work/tervan-downloader" "$work/demo.bin" &
pids+=($!)

/usr/bin/python3 - <<'PY'
import sys
import gi
gi.require_version("Atspi", "2.0")
from gi.repository import Atspi, GLib

def walk(node, depth=0):
    yield depth, node
    for i in range(node.get_child_count()):
        child = node.get_child_at_index(i)
        if child:
            yield from walk(child, depth + 1)

app = None
for _ in range(100):
    desktop = Atspi.get_desktop(0)
    apps = [desktop.get_child_at_index(i) for i in range(desktop.get_child_count())]
    app = next((a for a in apps if a and a.get_name() == "tervan-downloader"), None)
    if app:
        break
    GLib.usleep(100000)
if not app:
    sys.exit("accessibility-check: the window did not appear on the bus")
GLib.usleep(1000000)

print("== the window over the accessibility bus")
for depth, node in walk(app):
    role = node.get_role_name()
    if role in ("application", "list", "list item"):
        continue
    relations = []
    for relation in node.get_relation_set():
        kind = relation.get_relation_type().value_nick
        if kind == "controller-for":
            continue
        targets = [relation.get_target(k).get_name() for k in range(relation.get_n_targets())]
        relations.append("%s %s" % (kind, ", ".join(targets)))
    value = ""
    if role == "progress bar":
        value = " value %g of %g" % (node.get_current_value(), node.get_maximum_value())
    elif role == "text":
        value = " holding %r" % node.get_text(0, node.get_character_count())
    print("%s%s %r%s%s%s" % ("  " * depth, role, node.get_name(),
                             " (%s)" % node.get_description() if node.get_description() else "",
                             value, "; " + "; ".join(relations) if relations else ""))

def find(role, name=None, description=None):
    for _, node in walk(app):
        if node.get_role_name() == role and (name is None or node.get_name() == name) and \
                (description is None or node.get_description() == description):
            return node

changes = []
def on_name(event):
    if event.source.get_description() == "Status":
        changes.append(1)
listener = Atspi.EventListener.new(on_name)
listener.register("object:property-change:accessible-name")

loop = GLib.MainLoop()
steps = [("Connect", "Connected"), ("Download", "Write successfull!")]
state = {"step": 0, "pressed": False, "ticks": 0}
def tick():
    state["ticks"] += 1
    if state["step"] == len(steps) or state["ticks"] > 600:
        GLib.timeout_add(1000, loop.quit)
        return False
    button, wanted = steps[state["step"]]
    if not state["pressed"]:
        find("push button", button).do_action(0)
        state["pressed"] = True
        print("== pressed %s over the bus" % button)
    elif find("label", description="Status").get_name() == wanted:
        print("== status line reads %r" % wanted)
        state["step"] += 1
        state["pressed"] = False
    return True
GLib.timeout_add(100, tick)
loop.run()
bar = find("progress bar")
print("== progress bar: %g of %g" % (bar.get_current_value(), bar.get_maximum_value()))
print("== name changes of the status line announced over the bus: %d" % len(changes))
PY
