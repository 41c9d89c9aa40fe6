# Sourced by the shell tests: expect counts what differs in $failures.
failures=0
expect() {  # expect <what> <got> <wanted>
  if [ "$2" != "$3" ]; then
    printf 'FAILED: %s\n  got:    %s\n  wanted: %s\n' "$1" "$2" "$3"
    failures=$((failures + 1))
  fi
}
