# bash completion for zorv-label(1): its commands, the attribute names, the
# options of each command and the words they take (paths where paths go).

_zorv_label() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
    local commands="get set del clear show query apply file device kmod pkg-id pkg-name normalize path-hash
        status restore verify tag hash package packages interpreter drova-base policy watch history export import
        backup sync-packages"
    local attributes="pkgid oid sid tid inherit"
    local topics="pkgid oid sid tid inheritflag package label system"

    # The value of an option that takes one.
    case $prev in
        -t | --type) COMPREPLY=($(compgen -W "package lunvex drova" -- "$cur")); return ;;
        --bits) COMPREPLY=($(compgen -W "32 64" -- "$cur")); return ;;
        --count | --since) return ;;
        --admindir) compopt -o filenames 2>/dev/null; COMPREPLY=($(compgen -d -- "$cur")); return ;;
        --state) compopt -o filenames 2>/dev/null; COMPREPLY=($(compgen -f -- "$cur")); return ;;
        -n) [[ " ${COMP_WORDS[*]} " == *" watch "* ]] && return ;;  # watch's count; elsewhere a dry run
    esac

    # The command, its second word for file and hash, and how many
    # arguments come before the word being completed.
    local i word command="" sub="" args=0
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        case $word in
            -t | --type | --bits | --count | --since | --admindir | --state) ((i++)) ;;
            -n) [[ $command == watch ]] && ((i++)) ;;
            -*) ;;
            *)
                if [[ -z $command ]]; then
                    command=$word
                elif [[ ($command == file || $command == hash) && -z $sub ]]; then
                    sub=$word
                else
                    ((args++))
                fi
                ;;
        esac
    done

    local options="--json --help"
    case $command in
        "") options="--json --help --version" ;;
        del | query) options+=" -r --recursive" ;;
        clear | apply | interpreter) options+=" --dry-run" ;;
        file) [[ -n $sub ]] && options+=" -P --no-follow" ;;
        restore) options+=" -R --recursive --init -n --dry-run --threads -x --xdev --cross-devices" ;;
        verify) options+=" -R --recursive --init --threads -x --xdev --cross-devices" ;;
        hash) [[ $sub == sm3 ]] && options+=" --bits" ;;
        package) options+=" -t --type --missing-ok -0 --null --remove --dry-run" ;;
        watch) options+=" -n --count" ;;
        history) options+=" --since" ;;
        sync-packages) options+=" -n --dry-run --no-restore --all --admindir --state" ;;
    esac
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
        return
    fi

    # The words that may come next, or "f" (files) or "d" (directories).
    local words="" files=""
    case $command in
        "") words=$commands ;;
        get | set | del | query)
            if ((args == 0)); then words=$attributes; elif ((args == 1)); then files=f; fi ;;
        clear | show) ((args == 0)) && words=$attributes ;;
        file)
            if [[ -z $sub ]]; then words="get set"; elif ((args == 0)); then files=f; fi ;;
        hash) [[ -z $sub ]] && words="sm3 kmod" ;;
        tag) ((args == 0)) && words="device kmod" ;;
        interpreter)
            if ((args == 0)); then words="lunvex drova"; elif ((args == 1)); then files=d; fi ;;
        package) ((args == 1)) && files=f ;;
        watch) words=$topics ;;
        apply | drova-base | policy | normalize | path-hash | history | export | import | backup)
            ((args == 0)) && files=f ;;
        restore | verify) files=f ;;
    esac
    if [[ -n $files ]]; then
        compopt -o filenames 2>/dev/null
        if [[ $files == d ]]; then
            COMPREPLY=($(compgen -d -- "$cur"))
        else
            COMPREPLY=($(compgen -f -- "$cur"))
        fi
        return
    fi
    COMPREPLY=($(compgen -W "$words" -- "$cur"))
}

complete -F _zorv_label zorv-label
