# bash completion for mdtree                                 -*- shell-script -*-
#
# mdtree reads only the second character of an option word, and an option's
# argument is always the next word; the completion follows the same rule, so
# "-fold <TAB>" completes a path as -f does.

_mdtree()
{
    local cur=${COMP_WORDS[COMP_CWORD]}
    local prev=
    ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}

    case $prev in
        # Options that take a path. Several take a file (a listing, an
        # archive, the administration file) as well as a directory, so every
        # name is offered.
        -[lioRftpaAPcC]*|--cache)
            compopt -o filenames 2>/dev/null
            # One name a line, neither split at spaces nor globbed.
            mapfile -t COMPREPLY < <(compgen -f -- "$cur")
            return
            ;;
        -g*)
            # A grace period: digits and a unit (s, m, h, d).
            COMPREPLY=($(compgen -W "14d 1d 1h" -- "$cur"))
            return
            ;;
        -j*)
            # A thread count: offer the number of CPUs this shell may use.
            local n
            n=$(nproc 2>/dev/null) || n=
            COMPREPLY=($(compgen -W "$n" -- "$cur"))
            return
            ;;
    esac

    # Any other word is passed over by mdtree; offer the options.
    COMPREPLY=($(compgen -W '-l -i -o -R -V -P -g -f -t -p -a -A -F -r -n -c -C -u -j -h --help --version --no-progress --quiet --status --warn --strict --ignore-missing --cache' -- "$cur"))
} &&
    complete -F _mdtree mdtree

# ex: filetype=sh
