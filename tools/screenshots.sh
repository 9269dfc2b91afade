#!/usr/bin/env bash
# Regenerates the pictures of the Windows program's windows:
#   docs/progress.png  the progress window during a conversion
#   docs/cancel.png    the question its cancel button asks
#   docs/summary.png   single-file mode's summary box (the bundled example)
# under Xvfb and Wine as a Japanese system, each cut to its window.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install_deps.sh
cmake --preset windows >/dev/null
cmake --build --preset windows --target quenvale uiauto
source tools/wine_session.sh

QV_KIND=windows QV_BUILD_DIR="$PWD/build/windows" QV_SOURCE_DIR="$PWD" /usr/bin/python3 - <<'PY'
import os
import shutil
import sys
import time

sys.path.insert(0, "tests/e2e")
import qv

DOCS = os.path.abspath("docs")
PROGRESS = "ＣＳＶ変換中..."
CONFIRM = "確認"


def shoot(caption, name):
    rects = qv.window_rects(caption, 60)
    if not rects:
        sys.exit("no window %s for %s.png" % (caption, name))
    time.sleep(0.5)   # painted, not only shown
    print(qv.screenshot(name, rects[0][0], folder=DOCS))


def finish(proc, caption):
    qv.uiauto("texts", caption, "60")
    qv.uiauto("close", caption, "1")
    proc.communicate(timeout=120)


# A conversion long enough to be caught running (some seconds under Wine):
# many one-byte records. The cancel question holds it where it is.
with qv.ProgramFolder() as pf:
    pf.write_text("Quenvale.ini", "[Quenvale]\n")
    pf.write_text("CUSTOMER.fdf", "PCFO\nPCFL N 2 2\n")
    pf.write("CUSTOMER.db2", b"\x0F" * 150_000_000)
    proc = pf.start("CUSTOMER")
    shoot(PROGRESS, "progress")
    qv.uiauto("press", PROGRESS, "200", "60")
    shoot(CONFIRM, "cancel")
    qv.uiauto("close", CONFIRM, "6", "60")
    finish(proc, "CUSTOMER")

# The bundled example converted whole: its summary counts the codes that had
# no conversion.
with qv.ProgramFolder() as pf:
    for name in ("Quenvale.ini", "CUSTOMER.fdf", "CUSTOMER.db2"):
        shutil.copy(os.path.join("examples", name), pf.file(name))
    proc = pf.start("CUSTOMER")
    shoot("CUSTOMER", "summary")
    finish(proc, "CUSTOMER")
PY
