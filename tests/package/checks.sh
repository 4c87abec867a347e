# shellcheck shell=bash
# Checks of the files that install with the programs: man pages, bash
# completion, udev rule, desktop entry. Sourced by check_tree and
# check_package; each check prints what is wrong and returns non-zero.

kelvo_fail() {
  printf 'FAIL: %s\n' "$*" >&2
  return 1
}

# The page renders without a warning from man or groff.
kelvo_check_man_renders() { # page
  local out err
  err=$(MANWIDTH=80 man --warnings -l "$1" 2>&1 >/dev/null) || kelvo_fail "man -l $1 failed: $err" || return 1
  [ -z "$err" ] || kelvo_fail "man -l $1 warns: $err" || return 1
  out=$(MANWIDTH=80 man -l "$1" 2>/dev/null)
  grep -q '^NAME' <<<"$out" || kelvo_fail "$1 renders without a NAME section"
}

kelvo_man_source() { # page: prints the roff source, compressed or not
  case $1 in
  *.gz) gzip -dc "$1" ;;
  *) cat "$1" ;;
  esac
}

# The words in bold that open each tagged paragraph (.TP, .TQ) of a section:
# the commands or options the page documents, one a line, sorted.
kelvo_man_entries() { # page section
  kelvo_man_source "$1" | awk -v section="$2" '
    /^\.SH/ { sub(/^\.SH +/, ""); gsub(/"/, ""); in_section = ($0 == section); next }
    in_section && /^\.T[PQ]/ { tagged = 1; next }
    in_section && tagged {
      tagged = 0
      if ($0 !~ /^\.B[IR]? /) next
      sub(/^\.B[IR]? +/, "")
      if (substr($0, 1, 1) == "\"") { sub(/^"/, ""); sub(/".*/, "") } else { sub(/ .*/, "") }
      gsub(/\\-/, "-"); sub(/ +$/, "")
      print
    }' | LC_ALL=C sort
}

kelvo_compare_lists() { # what expected actual [legend]
  [ "$2" = "$3" ] && return 0
  kelvo_fail "$1 differ:
$(diff <(printf '%s\n' "$2") <(printf '%s\n' "$3") | grep '^[<>]')
${4:-(< from the program, > from the man page)}"
}

# The commands of "-help" ("-show [a|b]" stands for "-show a" and "-show b"),
# one a line, sorted.
kelvo_cli_commands() { # cli
  local tmp help cli
  cli=$(realpath "$1") && tmp=$(mktemp -d) || return 1
  help=$(cd "$tmp" && "$cli" -help) # it creates its settings files there
  rm -rf "$tmp"
  [ -n "$help" ] || kelvo_fail "$1 -help printed nothing" || return 1
  {
    echo "-help"
    sed -n 's/^    \(-[^<]*\).*/\1/p' <<<"$help" | while read -r word rest; do
      if [[ $rest == \[*\] ]]; then
        tr '|' '\n' <<<"${rest:1:${#rest}-2}" | sed "s/^/$word /"
      else
        echo "$word${rest:+ $rest}"
      fi
    done
  } | sed 's/ *$//' | LC_ALL=C sort -u
}

# The commands of "-help" against the COMMANDS section of the page.
kelvo_check_cli_man() { # cli page
  local expected
  expected=$(set -o pipefail && kelvo_cli_commands "$1") || return 1
  kelvo_compare_lists "kelvo_pgtool_cli commands" "$expected" "$(kelvo_man_entries "$2" COMMANDS)"
}

kelvo_help_options() { # program: the long options of its --help, sorted
  "$1" --help | grep -o -- '--[a-z][a-z-]*' | LC_ALL=C sort -u
}

# The long options of "--help" against the OPTIONS section of the page.
kelvo_check_options_man() { # program page
  local expected
  expected=$(kelvo_help_options "$1")
  [ -n "$expected" ] || kelvo_fail "$1 --help lists no options" || return 1
  kelvo_compare_lists "$(basename "$1") options" "$expected" \
    "$(kelvo_man_entries "$2" OPTIONS | grep -- '^--' | sed 's/ .*//' | LC_ALL=C sort -u)"
}

# --- The pages of docs/ against the programs and the man pages -----------

# The first cells of the Markdown tables whose header row opens with the
# given cell, one a line, without the surrounding blanks.
kelvo_doc_table_keys() { # header page...
  local header=$1
  shift
  awk -v header="$header" '
    function first(line) { split(line, cell, "|"); sub(/^ +/, "", cell[2]); sub(/ +$/, "", cell[2]); return cell[2] }
    !/^\|/ { in_table = 0; inside = 0; next }
    !inside { inside = 1; in_table = (first($0) == header); next }
    /^\|[-: |]*$/ { next }
    in_table { print first($0) }' "$@"
}

kelvo_numbers() { # the whole numbers of standard input, one a line, sorted
  grep -o '[0-9][0-9]*' | LC_ALL=C sort -nu
}

# Every option of --help is named in code on the program's pages
# (`--log FILE`), and every option of their tables is one of --help's.
kelvo_check_options_docs() { # program page...
  local program=$1 name expected mentioned tabled missing rc=0
  shift
  name=$(basename "$program")
  expected=$(kelvo_help_options "$program")
  mentioned=$(cat "$@" | grep -o -- '`--[a-z][a-z-]*' | tr -d '`' | LC_ALL=C sort -u)
  missing=$(LC_ALL=C comm -23 <(echo "$expected") <(echo "$mentioned"))
  [ -z "$missing" ] || kelvo_fail "$name options missing from $*: $(echo $missing)" || rc=1
  tabled=$(kelvo_doc_table_keys Option "$@" | grep -o -- '^`--[a-z][a-z-]*' | tr -d '`' | LC_ALL=C sort -u)
  missing=$(LC_ALL=C comm -13 <(echo "$expected") <(echo "$tabled"))
  [ -z "$missing" ] || kelvo_fail "$name has no options $(echo $missing), which $* document" || rc=1
  return $rc
}

# Every command of -help is named in code on the page (`-set image <path>`),
# and every command of its tables is one of -help's.
kelvo_check_cli_docs() { # cli page
  local expected command rc=0 tabled
  expected=$(set -o pipefail && kelvo_cli_commands "$1") || return 1
  while IFS= read -r command; do
    grep -qE -- "\`$command[ \`]" "$2" || kelvo_fail "kelvo_pgtool_cli $command is missing from $2" || rc=1
  done <<<"$expected"
  # A table's command is its first word, and the second unless that is a value.
  tabled=$(kelvo_doc_table_keys Command "$2" | sed -n 's/^`\(-[^`]*\)`.*/\1/p' |
    awk '{ print ($2 == "" || $2 ~ /^[<0-9]/) ? $1 : $1 " " $2 }' | LC_ALL=C sort -u)
  for command in $(LC_ALL=C comm -13 <(echo "$expected") <(echo "$tabled") | tr ' ' '~'); do
    kelvo_fail "kelvo_pgtool_cli has no command ${command//\~/ }, which $2 documents" || rc=1
  done
  return $rc
}

# The exit statuses of the man page are those of the page's tables headed
# "Status" or "Exit status" (and of --help where it lists them).
kelvo_check_statuses_docs() { # page program-or-empty doc-page...
  local page=$1 program=$2 name man docs help
  shift 2
  name=$(basename "${page%%.1*}")
  man=$(kelvo_man_entries "$page" "EXIT STATUS" | kelvo_numbers)
  docs=$( { kelvo_doc_table_keys Status "$@"; kelvo_doc_table_keys "Exit status" "$@"; } | kelvo_numbers)
  kelvo_compare_lists "$name exit statuses" "$man" "$docs" "(< $page, > $*)" || return 1
  [ -n "$program" ] || return 0
  help=$("$program" --help | sed -n '/^Exit status/,$p' | kelvo_numbers)
  kelvo_compare_lists "$name exit statuses" "$man" "$help" "(< $page, > $program --help)"
}

# The result codes of the core's header are those of the man page's
# RESULTS section and of each page's table headed "Result".
kelvo_check_results_docs() { # header page doc-page...
  local header=$1 page=$2 codes doc rc=0
  shift 2
  codes=$(sed -n '/^enum kelvo_result/,/^}/p' "$header" | grep -o '= *[0-9]*' | kelvo_numbers)
  [ -n "$codes" ] || kelvo_fail "no result codes in $header" || return 1
  kelvo_compare_lists "result codes" "$codes" \
    "$(kelvo_man_entries "$page" RESULTS | kelvo_numbers)" "(< $header, > $page)" || rc=1
  for doc in "$@"; do
    kelvo_compare_lists "result codes" "$codes" \
      "$(kelvo_doc_table_keys Result "$doc" | kelvo_numbers)" "(< $header, > $doc)" || rc=1
  done
  return $rc
}

# Runs a completion function in a fresh bash for the words given (the last
# one being completed) and prints the candidates, one a line, sorted.
kelvo_complete() { # script function devroot workdir word...
  local script function=$2 devroot=$3 workdir=$4
  script=$(realpath "$1") || return 1
  shift 4
  (cd "$workdir" && bash --norc -c '
    _kelvo_dev_root=$1; . "$2" || exit 1; function=$3; shift 3
    COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1))
    "$function" || exit 1
    [ ${#COMPREPLY[@]} -eq 0 ] || printf "%s\n" "${COMPREPLY[@]}"' \
    bash "$devroot" "$script" "$function" "$@") | LC_ALL=C sort
}

kelvo_expect_completion() { # script function devroot workdir expected word...
  local script=$1 function=$2 devroot=$3 workdir=$4 expected=$5
  shift 5
  local actual
  actual=$(set -o pipefail && kelvo_complete "$script" "$function" "$devroot" "$workdir" "$@" | paste -sd' ') ||
    kelvo_fail "completion of [$*]: $script failed" || return 1
  [ "$actual" = "$expected" ] ||
    kelvo_fail "completion of [$*]: expected [$expected], got [$actual]"
}

# A scratch /dev with two adapters and a by-id name, and a working directory
# with an image, a subdirectory and the simulator's link.
kelvo_completion_fixture() { # dir
  mkdir -p "$1/dev/serial/by-id" "$1/work/images"
  touch "$1/dev/ttyUSB0" "$1/dev/ttyACM3" "$1/dev/ttyS0" "$1/dev/serial/by-id/usb-FTDI_A50285BI-if00-port0"
  touch "$1/work/fw.bin" "$1/work/images/app.bin"
  ln -s "$1/dev/ttyUSB0" "$1/work/ttyKELVO0"
}

kelvo_check_cli_completion() { # script
  local t rc=0 dev w
  t=$(mktemp -d) || return 1
  kelvo_completion_fixture "$t"
  dev=$t/dev w=$t/work
  local e="kelvo_expect_completion $1 _kelvo_pgtool_cli $dev $w"
  $e "--help --version -add -download -erase -generate -help -scan -set -show" kelvo_pgtool_cli "" || rc=1
  $e "--help --version" kelvo_pgtool_cli -- || rc=1
  $e "-scan -set -show" kelvo_pgtool_cli -s || rc=1
  $e "baudrate chip_erase flash_offset generate_bin hash_verify image keep_sys_data keep_wifi_data" \
    kelvo_pgtool_cli -set "" || rc=1
  $e "keep_sys_data keep_wifi_data" kelvo_pgtool_cli -set k || rc=1
  $e "device generate setting" kelvo_pgtool_cli -show "" || rc=1
  $e "chip sector" kelvo_pgtool_cli -erase "" || rc=1
  $e "device" kelvo_pgtool_cli -scan "" || rc=1
  local flag
  for flag in chip_erase hash_verify keep_sys_data keep_wifi_data; do
    $e "0 1" kelvo_pgtool_cli -set $flag "" || rc=1
  done
  $e "2000000 230400" kelvo_pgtool_cli -set baudrate 2 || rc=1
  $e "fw.bin images ttyKELVO0" kelvo_pgtool_cli -set image "" || rc=1
  $e "images/app.bin" kelvo_pgtool_cli -set image images/ || rc=1
  $e "$dev/serial/by-id/usb-FTDI_A50285BI-if00-port0 $dev/ttyACM3 $dev/ttyUSB0" \
    kelvo_pgtool_cli -add device "$dev/" || rc=1
  $e "$dev/ttyUSB0" kelvo_pgtool_cli -add device "$dev/ttyU" || rc=1
  $e "ttyKELVO0" kelvo_pgtool_cli -add device tty || rc=1
  $e "1 10" kelvo_pgtool_cli -set generate_bin 1 || rc=1
  $e "fw.bin" kelvo_pgtool_cli -set generate_bin 2 f || rc=1
  $e "" kelvo_pgtool_cli -set generate_bin 2 fw.bin "" || rc=1
  $e "" kelvo_pgtool_cli -download "" || rc=1
  $e "" kelvo_pgtool_cli -erase sector "" || rc=1
  rm -rf "$t"
  return $rc
}

kelvo_check_gang_completion() { # script
  local t rc=0 dev w
  t=$(mktemp -d) || return 1
  kelvo_completion_fixture "$t"
  dev=$t/dev w=$t/work
  local e="kelvo_expect_completion $1 _kelvo_pgtool_gang $dev $w"
  $e "--all --cfx --cfx-handle --cfx-spool --help --log --operator --output-dir --recipe --station --unique-status --version --watch" \
    kelvo_pgtool_gang - || rc=1
  $e "images" kelvo_pgtool_gang --watch --recipe "" || rc=1
  $e "amqp:// amqps://" kelvo_pgtool_gang --cfx "" || rc=1
  $e "--log" kelvo_pgtool_gang /dev/ttyUSB0 --l || rc=1
  $e "$dev/ttyACM3 $dev/ttyUSB0" kelvo_pgtool_gang --log x.csv "$dev/tty" || rc=1
  $e "fw.bin images ttyKELVO0" kelvo_pgtool_gang --log "" || rc=1
  $e "images" kelvo_pgtool_gang --output-dir "" || rc=1
  $e "ttyKELVO0" kelvo_pgtool_gang "$dev/ttyUSB0" tty || rc=1
  $e "s1=$dev/ttyACM3 s1=$dev/ttyUSB0" kelvo_pgtool_gang "s1=$dev/tty" || rc=1
  $e "$dev/ttyUSB0" kelvo_pgtool_gang s1 = "$dev/ttyU" || rc=1
  $e "$dev/serial/by-id/usb-FTDI_A50285BI-if00-port0 $dev/ttyACM3 $dev/ttyUSB0 fw.bin images ttyKELVO0" \
    kelvo_pgtool_gang s1 = || rc=1
  rm -rf "$t"
  return $rc
}

# Every adapter of the list, each with the uaccess tag and ModemManager's
# ignore flag on a tty match, nothing else, in a file numbered below 73
# (where logind's seat rules read the tag).
kelvo_check_udev_rule() { # rules-file
  local rule=$1 rc=0 ids expected name
  name=$(basename "$rule")
  [[ $name =~ ^([0-9][0-9])-.*\.rules$ ]] && [ "${BASH_REMATCH[1]}" -lt 73 ] ||
    kelvo_fail "$name: must be a .rules file numbered below 73" || rc=1
  expected="0403:6001 0403:6010 0403:6011 0403:6014 0403:6015 067b:2303 067b:23a3 10c4:ea60 10c4:ea70 10c4:ea71 1a86:5523 1a86:55d4 1a86:7522 1a86:7523"
  local line n=0 pattern key
  key='(SUBSYSTEM|ACTION|ATTRS\{idVendor\}|ATTRS\{idProduct\}|TAG|ENV\{ID_MM_DEVICE_IGNORE\}|GOTO|LABEL)'
  pattern="^$key(==|!=|\+=|=)\"[^\"]*\"(, $key(==|!=|\+=|=)\"[^\"]*\")*\$"
  ids=$(
    while IFS= read -r line; do
      n=$((n + 1))
      [[ -z $line || $line == \#* ]] && continue
      [[ $line =~ $pattern ]] || { kelvo_fail "$name:$n: malformed: $line"; echo BAD; continue; }
      [[ $line == *'ATTRS{idVendor}'* ]] || continue
      [[ $line == 'SUBSYSTEM=="tty", '* && $line == *', TAG+="uaccess", ENV{ID_MM_DEVICE_IGNORE}="1"' ]] ||
        { kelvo_fail "$name:$n: wants SUBSYSTEM==\"tty\", the uaccess tag and ID_MM_DEVICE_IGNORE"; echo BAD; }
      sed -E 's/.*idVendor\}=="([0-9a-f]{4})", ATTRS\{idProduct\}=="([0-9a-f]{4})".*/\1:\2/' <<<"$line"
    done <"$rule" | sort | paste -sd' '
  )
  [ "$ids" = "$expected" ] || kelvo_fail "$name: adapters [$ids], expected [$expected]" || rc=1
  # The skip for removals must land on a label that exists.
  grep -qx 'ACTION=="remove", GOTO="kelvo_pgtool_end"' "$rule" && grep -qx 'LABEL="kelvo_pgtool_end"' "$rule" ||
    kelvo_fail "$name: the removal skip and its label" || rc=1
  return $rc
}

# The entry validates, runs a program that is there (unless bindir is empty)
# and names an icon that is there.
kelvo_check_desktop_entry() { # entry bindir icondir
  local out icon exec rc=0
  out=$(desktop-file-validate "$1" 2>&1) && [ -z "$out" ] || kelvo_fail "desktop-file-validate: $out" || rc=1
  icon=$(sed -n 's/^Icon=//p' "$1")
  exec=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$1")
  [ "$icon" = kelvo_pgtool ] || kelvo_fail "Icon=$icon, expected the project's own kelvo_pgtool" || rc=1
  grep -q '<svg' "$3/$icon.svg" 2>/dev/null || kelvo_fail "no SVG icon $3/$icon.svg" || rc=1
  [ -z "$2" ] || [ -x "$2/$exec" ] || kelvo_fail "Exec=$exec is not in $2" || rc=1
  return $rc
}
