# bash completion for quelmar-fake-fly(1)                  -*- shell-script -*-

_quelmar_fake_fly()
{
    local cur prev words cword split
    _init_completion -s || return

    # --tls CERT KEY: two file names.
    if [[ $prev == --tls || $cword -ge 2 && ${words[cword - 2]} == --tls ]]; then
        _filedir
        return
    fi
    case $prev in
        --bind | --port | --token | --app | --latency-ms | --destroyed-listings | --seed-mediators | --dns-port)
            return
            ;;
    esac
    $split && return

    COMPREPLY=($(compgen -W '--help --version --bind --port --token --app --tls
        --latency-ms --destroyed-listings --seed-mediators --dns-port' -- "$cur"))
} &&
    complete -F _quelmar_fake_fly quelmar-fake-fly

# ex: filetype=sh
