# bash completion for zvtadm: commands, options and configured system names,
# asked of zvtadm itself (`zvtadm __complete WORD...`); file names where a
# value or a file is expected.
_zvtadm() {
  local cur=${COMP_WORDS[COMP_CWORD]}
  local IFS=$'\n'
  local words
  words=$("${COMP_WORDS[0]}" __complete "${COMP_WORDS[@]:1:COMP_CWORD-1}" 2>/dev/null) || return
  # shellcheck disable=SC2207
  COMPREPLY=($(compgen -W "$words" -- "$cur"))
}
complete -o default -o bashdefault -F _zvtadm zvtadm
