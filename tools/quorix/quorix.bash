# bash completion for quorix: commands, the commands under them, options, and files where a
# file goes.
_quorix() {
  local cur prev words cword
  _init_completion 2>/dev/null || {
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD - 1]}
    words=("${COMP_WORDS[@]}")
    cword=$COMP_CWORD
  }
  local global="-h --help --sim --version -d --device -s --serial --timeout --json --trace
                -q --quiet -v --verbose --sim-boards --sim-rate --sim-state"
  local commands="list info firmware eeprom startup portd fpga-mode stream write loopback watch demo help"

  # Options whose value is a file, and those whose value is anything else.
  case $prev in
    --sim-state | -o | --output | -i | --input)
      COMPREPLY=($(compgen -f -- "$cur"))
      compopt -o filenames 2>/dev/null
      return ;;
    -d | --device | -s | --serial | --timeout | --sim-boards | --sim-rate | --select | -n | \
      --bytes | --seconds)
      return ;;
  esac

  # The command and the command under it, as typed so far.
  local command="" sub="" i word
  for ((i = 1; i < cword; ++i)); do
    word=${words[i]}
    case $word in
      -d | --device | -s | --serial | --timeout | --sim-boards | --sim-rate | --sim-state | \
        --select | -o | --output | -i | --input | -n | --bytes | --seconds)
        ((++i)) ;;
      -*) ;;
      *)
        if [[ -z $command ]]; then command=$word
        elif [[ -z $sub ]]; then sub=$word
        fi ;;
    esac
  done

  local options="" choices="" files=""
  case $command in
    "") choices=$commands ;;
    help)
      case $sub in
        "") choices=$commands ;;
        firmware) choices="load check repack" ;;
        eeprom) choices="read write dump restore" ;;
        startup) choices="get set clear" ;;
        portd) choices="set get enable seq" ;;
      esac ;;
    list) options="--probe" ;;
    firmware)
      case $sub in
        "") choices="load check repack" ;;
        load) options="--force"; files=1 ;;
        check | repack) files=1 ;;
      esac ;;
    eeprom)
      options="--select"
      case $sub in
        "") choices="read write dump restore" ;;
        read) options="--select -o --output --hex" ;;
        write) options="--select -i --input --verify --force" ;;
        dump) files=1 ;;
        restore) options="--select --force"; files=1 ;;
      esac ;;
    startup)
      case $sub in
        "") choices="get set clear" ;;
        set) options="-i --input" ;;
      esac ;;
    portd) [[ -z $sub ]] && choices="set get enable seq" ;;
    stream) options="-n --bytes --seconds -o --output --check-counter --read-queue --ring-size" ;;
    write) options="-i --input" ;;
    loopback) options="-n --bytes" ;;
    watch) options="--enumerate" ;;
    demo) files=1 ;;
  esac

  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W "$options $global" -- "$cur"))
  elif [[ -n $choices ]]; then
    COMPREPLY=($(compgen -W "$choices" -- "$cur"))
  elif [[ -n $files ]]; then
    COMPREPLY=($(compgen -f -- "$cur"))
    compopt -o filenames 2>/dev/null
  fi
}
complete -F _quorix quorix
