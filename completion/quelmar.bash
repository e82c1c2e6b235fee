# bash completion for quelmar(1)                           -*- shell-script -*-

# The subcommands of a command ("" is quelmar itself).
_quelmar_subcommands()
{
    case $1 in
        '') echo 'profile-logs fly' ;;
        profile-logs) echo 'missing compare repair' ;;
        fly) echo 'list create start stop destroy address plan apply addresses show-plan' ;;
    esac
}

# The options a command takes; those of fly hold after its subcommands too.
_quelmar_options()
{
    local fly='--help --app --token --token-file --api-url --ca-file --region --image --dns-server
        --public-resolver --single-meter --serial --private --public'
    local window='--help --from --to --json --expect --inventory --last --prometheus
        --prometheus-label'
    case $1 in
        '') echo '--help --version --log-level' ;;
        profile-logs) echo '--help' ;;
        'profile-logs missing') echo "$window --folder" ;;
        'profile-logs compare') echo "$window --copy-list" ;;
        'profile-logs repair') echo "${window/--json /} --dry-run --parallel" ;;
        fly | 'fly address') echo "$fly" ;;
        'fly start' | 'fly stop') echo "$fly --wait" ;;
        'fly list') echo "$fly --meter-id --state --json" ;;
        'fly create')
            echo "$fly --cmd --meter-id --ip-address --port --internal-port --yes --cert-auth"
            ;;
        'fly destroy') echo "$fly --force" ;;
        'fly plan') echo "$fly --inventory --json --prune --cmd --out --prometheus" ;;
        'fly apply')
            echo "$fly --inventory --cmd --prune --yes --parallel --json --plan --max-destroy
                --prometheus"
            ;;
        'fly addresses' | 'fly show-plan') echo "$fly --json" ;;
    esac
}

_quelmar()
{
    local cur prev words cword split
    _init_completion -s || return

    local file_options='--inventory --plan --out --ca-file --expect --prometheus --token-file'
    local value_options="$file_options --log-level --app --token --api-url --region --image
        --dns-server --public-resolver --serial --meter-id --state --cmd --ip-address --port
        --internal-port --parallel --max-destroy --from --to --last --prometheus-label"

    # The command named so far, past options, their values and positional arguments.
    local command='' word i
    for ((i = 1; i < cword; i++)); do
        word=${words[i]}
        case $word in
            --*=*) ;;
            -*) [[ " ${value_options//$'\n'/ } " == *" $word "* ]] && ((i++)) ;;
            *)
                [[ " $(_quelmar_subcommands "$command") " == *" $word "* ]] &&
                    command=${command:+$command }$word
                ;;
        esac
    done

    case $prev in
        --inventory | --plan | --out | --ca-file | --expect | --prometheus | --token-file)
            _filedir
            return
            ;;
        --state)
            COMPREPLY=($(compgen -W 'created starting started stopping stopped removing
                failed' -- "$cur"))
            return
            ;;
        --log-level)
            COMPREPLY=($(compgen -W 'debug info warning error off' -- "$cur"))
            return
            ;;
    esac
    [[ " ${value_options//$'\n'/ } " == *" $prev "* ]] && return
    $split && return

    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$(_quelmar_options "$command")" -- "$cur"))
        return
    fi
    local subcommands
    subcommands=$(_quelmar_subcommands "$command")
    if [[ $subcommands ]]; then
        COMPREPLY=($(compgen -W "$subcommands" -- "$cur"))
    elif [[ $command == 'profile-logs '* ]]; then
        _filedir -d  # replica trees
    elif [[ $command == 'fly show-plan' ]]; then
        _filedir
    fi
} &&
    complete -F _quelmar quelmar

# ex: filetype=sh
