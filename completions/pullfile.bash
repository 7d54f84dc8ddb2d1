# bash completion for pullfile: its options, and directories after -d.

_pullfile() {
    local cur prev words cword split
    _init_completion -s || return

    case $prev in
        -d | --directory)
            _filedir -d
            return
            ;;
    esac
    $split && return

    # pullfile takes no other argument, so every word is an option.
    COMPREPLY=($(compgen -W '-d --directory= --skip-identical --replace -h --help --version' -- "$cur"))
    [[ ${COMPREPLY-} == *= ]] && compopt -o nospace
}
complete -F _pullfile pullfile
