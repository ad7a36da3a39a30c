# Sourced by the shell suites under Wine, which keep their scratch files in
# $work: each case's verdict, and the closing line that counts them.
passed=0
failed=0

# verdict NAME COMMAND...: the case passes when COMMAND succeeds; else what
# it printed is shown, and then the file $shown, when one is named.
verdict() {
    local name=$1
    shift
    if "$@" >"$work/verdict" 2>&1; then
        echo "PASS   : $name"
        passed=$((passed + 1))
    else
        echo "FAIL!  : $name:"
        sed 's/^/    /' "$work/verdict" ${shown:+"$shown"}
        failed=$((failed + 1))
    fi
}

# The closing line, and a failure status when any case failed.
report() {
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
}
