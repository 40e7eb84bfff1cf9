#!/bin/bash
# Runs a command (a Windows test program under Wine) with tests/win32/pty_peer.py playing the far
# end of COM<port> and COM<port+1> in the Wine prefix $WINEPREFIX; the command sees the port number
# in PELLAN_WIN32_PTY_PORT. Usage: run_with_pty_peer.sh [--port N] command...
set -euo pipefail
port=40
if [[ "${1:-}" == "--port" ]]; then
    port=$2
    shift 2
fi
: "${WINEPREFIX:?set WINEPREFIX to the Wine prefix the command runs in}"
here=$(cd "$(dirname "$0")" && pwd)
fifo=$(mktemp -u)
mkfifo "$fifo"
python3 "$here/pty_peer.py" --prefix "$WINEPREFIX" --port "$port" --delay-ms 150 >"$fifo" &
peer=$!
trap 'kill "$peer" 2>/dev/null; wait "$peer" 2>/dev/null; rm -f "$fifo"' EXIT
read -r -t 10 ready <"$fifo" || true
if [[ "${ready:-}" != "ready" ]]; then
    echo "run_with_pty_peer: the peer did not start" >&2
    exit 1
fi
PELLAN_WIN32_PTY_PORT=$port "$@"
