# bash completion for buspeer: its commands, their options, and client names where a client is due.
_buspeer() {
  # Plain COMP_WORDS, so that it works without the bash-completion package too.
  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}

  local commands="listen watch send query clients stats"
  local command="" word
  for word in "${COMP_WORDS[@]:1:COMP_CWORD-1}"; do
    case "$word" in listen | watch | send | query | clients | stats) command=$word; break ;; esac
  done

  local clients="AppMarket TwEmulator TwService TwUpdate TwUninstall TwAssistant TwInstaller TwLauncher
    TwVirtualFileSystem TwInstallerDownloader TwVindleCrashNotifyHelper TwHalvexHeadless TwGameService TwVm
    TwSetup TwVelmoraMcp TwCorvaneSdk TwCorvaneAssistant DellmarshSdk OrlentAppMarket TwPeltoSdk TwStrellSdk
    TwNetbar TwMarlock TwAppMarket"

  case "$prev" in
    --as | --from | --to) COMPREPLY=($(compgen -W "$clients" -- "$cur")); return ;;
    --data | --answer) [[ $cur == @* ]] && COMPREPLY=($(compgen -P @ -f -- "${cur#@}")); return ;;
    --count | --timeout | --msg | --query) return ;;
  esac

  local options
  case "$command" in
    "") options="$commands --help --version -v --verbose" ;;
    listen) options="--as --count --timeout --answer --global --local --help -v" ;;
    watch) options="--count --timeout --global --local --help -v" ;;
    send) options="--from --to --msg --data --global --local --help -v" ;;
    query) options="--from --to --query --msg --data --timeout --global --local --help -v" ;;
    clients | stats) options="--json --help -v" ;;
  esac
  if [[ $command == watch && $cur != -* ]]; then
    COMPREPLY=($(compgen -W "$clients" -- "$cur"))
  else
    COMPREPLY=($(compgen -W "$options" -- "$cur"))
  fi
}
complete -F _buspeer buspeer
