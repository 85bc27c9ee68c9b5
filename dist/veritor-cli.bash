# bash completion for veritor-cli
_veritor_cli() {
  local cur prev
  _init_completion -n = 2>/dev/null || {
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD-1]}
  }
  # Everything after "--" is a request.
  local i
  for ((i = 1; i < COMP_CWORD; i++)); do
    [[ ${COMP_WORDS[i]} == -- ]] && return
  done
  case $prev in
    --link)
      if [[ $cur == /* ]]; then
        # A device path: the paths that begin with what is typed.
        COMPREPLY=($(compgen -f -- "$cur"))
        compopt -o filenames 2>/dev/null
        return
      fi
      local ports="COM1 COM2 COM3 COM4 COM5 COM6 COM7 COM8 COM9 COM10 COM11 COM12 sdnp tcp udp"
      COMPREPLY=($(compgen -W "$ports $(compgen -G '/dev/tty[SUA]*')" -- "$cur"))
      return ;;
    --answer) COMPREPLY=($(compgen -W "yes no" -- "$cur")); return ;;
    --code-page) COMPREPLY=($(compgen -W "437 737 850 869 1250 1251 1252 1253 1254 1257 28597" -- "$cur")); return ;;
    --batch|--sign|--bmp|--log|--plan|--report|--record) COMPREPLY=($(compgen -f -- "$cur")); compopt -o filenames 2>/dev/null; return ;;
    --speed) COMPREPLY=($(compgen -W "9600 19200 38400 57600 115200 126000" -- "$cur")); return ;;
    --address) return ;;
    --tcp-reply-end) COMPREPLY=($(compgen -W "crlf close quiet" -- "$cur")); return ;;
  esac
  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W "--link --address --detect --speed --details --answer --batch --sign --bmp
                             --log --timestamps --list-ports --help --version --code-page --plan --report
                             --keep-going --record --check --tcp-reply-end --" -- "$cur"))
  elif [[ " ${COMP_WORDS[*]} " == *" --check "* ]]; then
    COMPREPLY=($(compgen -f -- "$cur"))
    compopt -o filenames 2>/dev/null
  fi
}
complete -F _veritor_cli veritor-cli
