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
      local ports="COM1 COM2 COM3 COM4 COM5 COM6 COM7 COM8 COM9 COM10 COM11 COM12 sdnp tcp udp"
      COMPREPLY=($(compgen -W "$ports" -- "$cur") $(compgen -G "/dev/tty[SUA]*" -- "$cur"))
      return ;;
    --answer) COMPREPLY=($(compgen -W "yes no" -- "$cur")); return ;;
    --batch|--sign|--bmp|--log) COMPREPLY=($(compgen -f -- "$cur")); compopt -o filenames 2>/dev/null; return ;;
    --speed) COMPREPLY=($(compgen -W "9600 19200 38400 57600 115200 126000" -- "$cur")); return ;;
    --address) return ;;
    --tcp-reply-end) COMPREPLY=($(compgen -W "crlf close quiet" -- "$cur")); return ;;
  esac
  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W "--link --address --detect --speed --details --answer --batch --sign --bmp
                             --log --timestamps --list-ports --help --version --tcp-reply-end --" -- "$cur"))
  fi
}
complete -F _veritor_cli veritor-cli
