# bash completion for plugin-host: the options, the tests after --test and --skip and
# the operations after --sequence, comma by comma, as plugin-host itself
# names them (plugin-host --complete PREVIOUS CURRENT); folders after
# --writable, file names elsewhere.
_plugin_host() {
    local at=$COMP_CWORD
    local current=${COMP_WORDS[COMP_CWORD]}
    # bash splits a tagged operation (1:getPlugin) at its colons: join it
    # back, and give bash only what follows the last colon.
    while ((at > 1)) && [[ ${COMP_WORDS[at-1]} == : || ${COMP_WORDS[at]} == : ]]; do
        at=$((at - 1))
        current=${COMP_WORDS[at]}$current
    done
    local typed=""
    ((at < COMP_CWORD)) && typed=${current%"${current##*:}"}
    local previous=${COMP_WORDS[at-1]}
    local IFS=$'\n'
    local words
    words=$("${COMP_WORDS[0]}" --complete "$previous" "$current" 2>/dev/null)
    if [[ -n $words ]]; then
        COMPREPLY=($words)
        COMPREPLY=("${COMPREPLY[@]#"$typed"}")
        # An operation is followed by a comma and the next one, not a space.
        if [[ $previous == --sequence ]]; then
            compopt -o nospace 2>/dev/null
        fi
        return 0
    fi
    case $previous in
        --set | --cycles | --timeout | --seed | --test | --skip | --jobs | --sequence) COMPREPLY=() ;;
        --writable) COMPREPLY=($(compgen -d -- "$current")) ;;
        *) COMPREPLY=($(compgen -f -- "$current")) ;;
    esac
}
complete -o filenames -F _plugin_host plugin-host
