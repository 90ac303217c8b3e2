# bash completion for zaxx
_zaxx() {
    local cur prev words cword
    _init_completion 2>/dev/null || {
        cur=${COMP_WORDS[COMP_CWORD]}
        prev=${COMP_WORDS[COMP_CWORD-1]}
        words=("${COMP_WORDS[@]}")
        cword=$COMP_CWORD
    }
    local commands="status ls gc list vector err reg parm conv date trace sysinfo post wait"
    local common="--rundir --json --help"
    case $prev in
        --rundir) COMPREPLY=($(compgen -d -- "$cur")); return ;;
        --hive) COMPREPLY=($(compgen -W "user machine" -- "$cur")); return ;;
    esac
    # The command and its subcommand, past the options.
    local i cmd="" sub=""
    for ((i = 1; i < cword; i++)); do
        case ${words[i]} in
            --rundir|--hive|--from|--count|--layout|--timeout) ((i++)) ;;
            -*) ;;
            *) if [[ -z $cmd ]]; then cmd=${words[i]}; elif [[ -z $sub ]]; then sub=${words[i]}; fi ;;
        esac
    done
    local codes="ascii ebcdic:1 ebcdic:2 utf16le sjis euc host-ibm host-ibm:2 host-0a host-0a:2 host-mixed"
    case $cmd in
        "") COMPREPLY=($(compgen -W "$commands $common --version --help-all" -- "$cur")) ;;
        ls) COMPREPLY=($(compgen -W "locks events segments lists pipes records $common" -- "$cur")) ;;
        gc) COMPREPLY=($(compgen -W "--dry-run $common" -- "$cur")) ;;
        list)
            case $sub in
                "") COMPREPLY=($(compgen -W "show clear dump" -- "$cur")) ;;
                show) COMPREPLY=($(compgen -W "--from --count $common" -- "$cur")) ;;
                dump) COMPREPLY=($(compgen -f -- "$cur")) ;;
            esac ;;
        vector) [[ -z $sub ]] && COMPREPLY=($(compgen -W "get set reset $common" -- "$cur")) ;;
        reg)
            if [[ -z $sub ]]; then COMPREPLY=($(compgen -W "ls get set del export import --hive" -- "$cur"))
            else COMPREPLY=($(compgen -W "--hive --int $common" -- "$cur")); fi ;;
        parm)
            if [[ -z $sub ]]; then COMPREPLY=($(compgen -W "ls get set check" -- "$cur"))
            else COMPREPLY=($(compgen -f -- "$cur")); fi ;;
        conv)
            if [[ $cur == -* ]]; then COMPREPLY=($(compgen -W "--report $common" -- "$cur"))
            elif [[ -z $sub || $cword -le 3 ]]; then COMPREPLY=($(compgen -W "$codes" -- "$cur"))
            else COMPREPLY=($(compgen -f -- "$cur")); fi ;;
        date)
            if [[ -z $sub ]]; then COMPREPLY=($(compgen -W "now check shift pack unpack" -- "$cur"))
            else COMPREPLY=($(compgen -W "--layout --time $common" -- "$cur")); fi ;;
        err|trace|sysinfo|status|post) COMPREPLY=($(compgen -W "$common" -- "$cur")) ;;
        wait) COMPREPLY=($(compgen -W "--timeout $common" -- "$cur")) ;;
    esac
}
complete -F _zaxx zaxx
