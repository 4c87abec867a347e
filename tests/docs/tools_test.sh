#!/usr/bin/env bash
# The documentation's own tools on small pages made here: the example runner
# passes what matches and fails what does not, the link check finds broken
# links and anchors, and the docs checks of check_sources find an option or a
# result code documented on one side only.
#
#   tools_test.sh SOURCE_DIR SIM_DIR
set -uo pipefail
src=$1 sim_dir=$2
. "$src/tests/package/checks.sh"
t=$(mktemp -d) && trap 'rm -rf "$t"' EXIT
failures=0
expect() { # wanted-status name command...
  local want=$1 name=$2 out got
  shift 2
  out=$("$@" 2>&1)
  got=$?
  if { [ "$want" = 0 ] && [ $got -eq 0 ]; } || { [ "$want" = fail ] && [ $got -ne 0 ]; }; then
    echo "ok   $name"
  else
    echo "FAIL $name (status $got):"
    sed 's/^/     /' <<<"$out"
    failures=$((failures + 1))
  fi
}
page() { # name: standard input becomes the page
  cat >"$t/$1"
}
examples() { python3 "$src/tests/docs/run_examples.py" --path "$sim_dir" "$t/$1"; }
links() { python3 "$src/tests/docs/check_links.py" "$t/$1"; }
fence='```'

page matching.md <<EOF2
${fence}console
\$ printf 'a\tb\nline one\nline two\rprogress 100%%\nlast\n'
a       b
...
progress ...
last
\$ echo one \\
    two
one two
\$ echo unchecked
${fence}
${fence}console adapter
\$ false
${fence}
${fence}console sim --flash-size 0x1000
\$ test -L ttyKELVO0 && stat -c %s sim-flash.bin
4096
${fence}
EOF2
expect 0 "examples: wildcards, continuation, carriage return, a real adapter skipped, the simulator" examples matching.md
page wrong-output.md <<EOF2
${fence}console
\$ echo actual
expected
${fence}
EOF2
expect fail "examples: other output" examples wrong-output.md
page wrong-status.md <<EOF2
${fence}console
\$ false
${fence}
EOF2
expect fail "examples: a command that fails" examples wrong-status.md
page wrong-kind.md <<EOF2
${fence}console simulator
\$ true
${fence}
EOF2
expect fail "examples: an unknown kind of example" examples wrong-kind.md

page target.md <<EOF2
# Title
## The \`kelvo_pgtool_cli\` (one)
## Repeat
## Repeat
EOF2
page good-links.md <<EOF2
[a](target.md#the-kelvo_pgtool_cli-one), [b](target.md#repeat-1), ![c](target.md)
[self](#top) and \`[not a link](missing.md)\`
# Top
${fence}
[in code](missing.md)
${fence}
EOF2
expect 0 "links: anchors made as GitHub does, code left out" links good-links.md
page no-file.md <<<'[a](missing.md)'
expect fail "links: a missing file" links no-file.md
page no-anchor.md <<<'[a](target.md#repeat-2)'
expect fail "links: a missing anchor" links no-anchor.md

# A program whose help lists --one and --two. The real pages show that the
# checks pass on agreement; here, that they fail on a difference.
printf '#!/bin/sh\necho "  --one  first"; echo "  --two N  second"\n' >"$t/prog"
chmod +x "$t/prog"
printf '| Option | Meaning |\n|---|---|\n| `--one` | a |\n' >"$t/one.md"
printf '| Option | Meaning |\n|---|---|\n| `--one` | a |\n| `--two N` | b |\n| `--three` | c |\n' >"$t/three.md"
expect fail "docs check: an option not documented" kelvo_check_options_docs "$t/prog" "$t/one.md"
expect fail "docs check: a documented option the program lacks" kelvo_check_options_docs "$t/prog" "$t/three.md"
printf 'enum kelvo_result {\n    A = 176,\n    B = 177\n};\n' >"$t/header.h"
printf '.TH X 1\n.SH NAME\nx\n.SH RESULTS\n.TP\n.B 176\nok\n.TP\n.B 177\nno\n' >"$t/x.1"
printf '| Result | Meaning |\n|---|---|\n| 176 | ok |\n' >"$t/short.md"
expect fail "docs check: a result code not documented" kelvo_check_results_docs "$t/header.h" "$t/x.1" "$t/short.md"

[ $failures -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
