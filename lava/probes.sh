#!/bin/sh
# The suite as a LAVA test: probes.sh DIR [OPTION...] runs DIR/probesuite
# with the options given, reports each scenario as a test case with its
# seconds, and one case for the whole run with its wall time, then prints
# the run's record base64-encoded between two marker lines, for a host to
# take back from the job's log (probesuite --compare LOG). POSIX sh: a
# test shell may be busybox ash.
#
# Outcome to result: ok, ok unverified and no longer differs pass; BROKEN and
# interrupted fail; could not arrange and known difference are skipped.
# A case's name is the scenario's title with every byte outside
# [A-Za-z0-9_.-] made "_", and "_2", "_3"... added where two would clash.
# Exits with the runner's status.

if [ $# -lt 1 ]; then
	echo "usage: probes.sh DIR [OPTION...]" >&2
	exit 2
fi
dir=$1
shift
run_case=probesuite-run

# A test case to LAVA; outside LAVA, by hand, a line on stdout.
report() {
	if command -v lava-test-case >/dev/null 2>&1; then
		lava-test-case "$@"
	else
		echo "test case: $*"
	fi
}

# ductread's fed scenario needs descriptor 9001. The runner raises the
# soft limit to the hard one itself; a test shell's init often leaves a
# hard limit of 4096, which root may raise. Where it may not, the runner
# says so in that scenario's reason.
hard=$(ulimit -H -n)
if [ "$hard" != unlimited ] && [ "$hard" -le 9001 ]; then
	ulimit -n 10000 2>/dev/null || echo "probes.sh: the open-file limit stays at $hard" >&2
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/probes-lava.XXXXXX") || exit 2
trap 'rm -rf "$work"' EXIT
record=$work/record.json

uptime_now() {
	read -r up _ </proc/uptime 2>/dev/null && echo "$up" || date +%s
}

t0=$(uptime_now)
"$dir/probesuite" --tap --json "$record" "$@"
status=$?
t1=$(uptime_now)

# Each scenario of the record as "RESULT SECONDS NAME", the name folded
# and made unique. The record is read as JSON tokens, not as lines: only
# the title, outcome and seconds of each element of the top-level
# "scenarios" array count, wherever the writer breaks its lines. Escaped
# backslashes and quotes become one byte each first, so that a string
# ends at the next quote. A line that stays deeper than a scenario's keys
# (most of a record: each run's details) only has its brackets counted,
# as a guest's awk may be slow. Bytes, not characters: LC_ALL=C.
cases() {
	LC_ALL=C awk -v reserved="$run_case" '
	function folded(s, raw,   out, i, c, n, hex, cp) {
		out = ""
		if (raw == "base64")
			return folded_bytes(s)
		for (i = 1; i <= length(s); i++) {
			c = substr(s, i, 1)
			if (c == "\\") {
				c = substr(s, ++i, 1)
				if (c == "u") {
					hex = tolower(substr(s, i + 1, 4)); i += 4
					cp = 0
					for (n = 1; n <= 4; n++)
						cp = cp * 16 + index("0123456789abcdef", substr(hex, n, 1)) - 1
					if (cp < 128) out = out keep(sprintf("%c", cp))
					else if (cp < 2048) out = out "__"
					else if (cp >= 55296 && cp < 56320) out = out "__"  # a pair: 4 bytes
					else if (cp >= 56320 && cp < 57344) out = out "__"
					else out = out "___"
				} else
					out = out "_"
			} else
				out = out keep(c)
		}
		return out
	}
	function keep(c) {
		return c ~ /^[A-Za-z0-9_.-]$/ ? c : "_"
	}
	function folded_bytes(s,   out, i, v, bits, c, b64) {
		b64 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
		out = ""; v = 0; bits = 0
		for (i = 1; i <= length(s); i++) {
			c = index(b64, substr(s, i, 1)) - 1
			if (c < 0)
				break
			v = v * 64 + c; bits += 6
			if (bits >= 8) {
				bits -= 8
				c = int(v / 2 ^ bits); v -= c * 2 ^ bits
				out = out (c > 32 && c < 127 ? keep(sprintf("%c", c)) : "_")
			}
		}
		return out
	}
	function unique(name,   n, try) {
		if (name == "")
			name = "_"
		try = name
		for (n = 2; try in used; n++)
			try = name "_" n
		used[try] = 1
		return try
	}
	function result(o) {
		if (o == "ok" || o == "ok unverified" || o == "no longer differs") return "pass"
		if (o == "could not arrange" || o == "known difference") return "skip"
		return "fail"
	}
	# At a key of an element of the top-level "scenarios" array.
	function in_scenario() {
		return depth == 3 && top == "scenarios" && arr[1] == "o" && arr[2] == "a" && arr[3] == "o"
	}
	function value(tok) {
		if (in_scenario()) {
			if (key == "title") { title = substr(tok, 2, length(tok) - 2); raw = "" }
			else if (key == "title_base64") { title = substr(tok, 2, length(tok) - 2); raw = "base64" }
			else if (key == "outcome") outcome = substr(tok, 2, length(tok) - 2)
			else if (key == "seconds") seconds = tok
		}
	}
	BEGIN { used[reserved] = 1; depth = 0 }
	{
		line = $0
		gsub(/\\\\/, "\001", line)  # an escaped backslash: one byte
		gsub(/\\"/, "\002", line)   # an escaped quote: one byte
		if (depth >= 4) {
			bare = line
			gsub(/"[^"]*"/, "", bare)
			closers = gsub(/[]}]/, "", bare)
			if (depth - closers >= 4) {
				depth += gsub(/[[{]/, "", bare) - closers
				next
			}
		}
		while (length(line) > 0) {
			if (match(line, /^[ \t\r]+/)) { line = substr(line, RLENGTH + 1); continue }
			c = substr(line, 1, 1)
			if (c == "\"") {
				match(line, /^"[^"]*"/)
				if (RSTART == 0) next
				tok = substr(line, 1, RLENGTH); line = substr(line, RLENGTH + 1)
				if (match(line, /^[ \t\r]*:/)) {
					key = substr(tok, 2, length(tok) - 2)
					if (depth == 1) topkey = key
					line = substr(line, RLENGTH + 1)
				} else
					value(tok)
				continue
			}
			if (c == "{" || c == "[") {
				arr[++depth] = c == "{" ? "o" : "a"
				if (depth == 2) top = topkey
				if (depth == 3 && top == "scenarios") { title = ""; raw = ""; outcome = ""; seconds = "0" }
				key = ""
				line = substr(line, 2)
				continue
			}
			if (c == "}" || c == "]") {
				if (in_scenario())
					print result(outcome), seconds, unique(folded(title, raw))
				depth--
				line = substr(line, 2)
				continue
			}
			if (c == ",") { key = ""; line = substr(line, 2); continue }
			match(line, /^[^]["{}:, \t\r]+/)
			if (RSTART == 0) { line = substr(line, 2); continue }
			value(substr(line, 1, RLENGTH))
			line = substr(line, RLENGTH + 1)
		}
	}' "$record"
}

if [ -s "$record" ]; then
	cases >"$work/cases" || status=2
	while read -r result seconds name; do
		report "$name" --result "$result" --measurement "$seconds" --units seconds
	done <"$work/cases"
fi

# The whole run: it passes when the runner wrote its record and nothing
# broke.
case $status in
0 | 3) run_result=pass ;;
*) run_result=fail ;;
esac
[ -s "$record" ] || run_result=fail
wall=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.2f", b - a }')
report "$run_case" --result "$run_result" --measurement "$wall" --units seconds

# The record, for a host to take back exactly: its size on the first
# marker line, then base64 in lines of 76 characters. Where no base64
# program is found, od and awk encode it.
if [ -s "$record" ]; then
	size=$(wc -c <"$record" | tr -d ' ')
	echo "probes-record-begin $size"
	if command -v base64 >/dev/null 2>&1; then
		base64 <"$record"
	else
		od -An -v -tu1 "$record" | awk '
		BEGIN { b64 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/" }
		function put(s) { out = out s; if (length(out) >= 76) { print substr(out, 1, 76); out = substr(out, 77) } }
		{
			for (i = 1; i <= NF; i++) {
				b[n++] = $i
				if (n == 3) {
					v = b[0] * 65536 + b[1] * 256 + b[2]
					put(substr(b64, int(v / 262144) + 1, 1) substr(b64, int(v / 4096) % 64 + 1, 1) \
					    substr(b64, int(v / 64) % 64 + 1, 1) substr(b64, v % 64 + 1, 1))
					n = 0
				}
			}
		}
		END {
			if (n == 1) { v = b[0] * 65536; put(substr(b64, int(v / 262144) + 1, 1) substr(b64, int(v / 4096) % 64 + 1, 1) "==") }
			if (n == 2) { v = b[0] * 65536 + b[1] * 256; put(substr(b64, int(v / 262144) + 1, 1) substr(b64, int(v / 4096) % 64 + 1, 1) substr(b64, int(v / 64) % 64 + 1, 1) "=") }
			if (length(out)) print out
		}'
	fi
	echo "probes-record-end"
fi
exit "$status"
