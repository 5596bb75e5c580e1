# bash completion for parcelor
_parcelor() {
    local cur prev command
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD-1]}
    command=${COMP_WORDS[1]}
    if [ "$COMP_CWORD" -eq 1 ]; then
        COMPREPLY=($(compgen -W "split join verify repair list mount unmount --help --version" -- "$cur"))
        return
    fi
    case $prev in
        -b|--size|-n|--count|--recovery|--name|--password-fd) return ;;
        -o|--output) COMPREPLY=($(compgen -d -- "$cur")); return ;;
        --password-file) COMPREPLY=($(compgen -f -- "$cur")); return ;;
    esac
    if [[ $cur == -* ]]; then
        local options="--help"
        case $command in
            split) options="-b --size -n --count --password-file --password-prompt --remove-source --no-checksums --recovery --encrypt --name --hidden --replace -f --force -q --quiet --json --help" ;;
            join) options="--password-file --password-prompt --password-fd --remove-pieces --replace --ignore-checksums --require-checksums --name -q --quiet --json --help" ;;
            verify) options="--decrypt --password-file --password-prompt --password-fd -q --quiet --json --help" ;;
            repair) options="-o --output -q --quiet --json --help" ;;
            mount) options="-f --foreground --require-checksums --name --status --password-file --password-prompt --password-fd --help" ;;
            unmount) options="--help" ;;
        esac
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
        return
    fi
    case $command in
        split | join) COMPREPLY=($(compgen -f -- "$cur")) ;;
        *) COMPREPLY=($(compgen -d -- "$cur")) ;;
    esac
}
complete -o filenames -F _parcelor parcelor
