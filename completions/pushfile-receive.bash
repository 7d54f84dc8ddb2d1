# bash completion for pushfile-receive: its options (read from its --help, so they stay current),
# directories after -d, and the wrapped command with that command's own completion after "--" or
# after the first word that is no option.

_pushfile_receive() {
    local cur prev words cword split
    _init_completion -s || return

    local i
    for ((i = 1; i < cword; i++)); do
        case ${words[i]} in
            --)
                _command_offset $((i + 1))
                return
                ;;
            -d | --directory | -m | --max-size) ((i++)) ;;
            -*) ;;
            *)
                _command_offset "$i"
                return
                ;;
        esac
    done

    case $prev in
        -d | --directory)
            _filedir -d
            return
            ;;
        -m | --max-size) return ;;
    esac
    $split && return

    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W '$(_parse_help "$1") --' -- "$cur"))
        [[ ${COMPREPLY-} == *= ]] && compopt -o nospace
        return
    fi
    COMPREPLY=($(compgen -c -- "$cur"))
}
complete -F _pushfile_receive pushfile-receive
