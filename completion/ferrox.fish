# SPDX-License-Identifier: BSD-2-Clause
# fish completion for ferrox, loaded by fish from a directory of $fish_complete_path
# (vendor_completions.d). Values come after a space or, for long options, after "=". The
# hidden -D, --debug is not offered.

# Socket files, and directories on the way to them, that complete the word being typed (the
# value of -u or --unix-host).
function __ferrox_socket_files
    set -l word (commandline -ct | string replace -r -- '^(--[^=]*=|-u)' '')
    # the file names that fish itself would offer, as for a command that has no completions
    for name in (complete -C"__ferrox_any_file $word" | string replace -r '\t.*' '')
        set -l path (string replace -r '^~' -- $HOME $name)
        if string match -q -- '*/' $name; or test -S $path
            printf '%s\n' $name
        end
    end
end

# An address option's value: an IPv6 address goes in brackets, and typing the bracket shows
# the form (a listener on [::] takes IPv4 peers too); without one nothing is offered.
function __ferrox_address_forms
    set -l word (commandline -ct | string replace -r -- '^(--[^=]*=|-[hlP])' '')
    string match -q -- '[*' $word
    and printf '%s\n' $argv
end

complete -c ferrox -s B -l socket-buffer -x -d "Set each socket's send and receive buffers to n bytes"
complete -c ferrox -s b -l buffer-size -x -d 'Read and write in chunks of at most n bytes'
complete -c ferrox -s c -l continue -d 'Accept peer after peer, or connect again after each transfer'
complete -c ferrox -s e -l echo -r -F -d 'Make the transfer two-way and log it to a file'
complete -c ferrox -s h -l host -x -a '(__ferrox_address_forms "[::1]:")' -d 'Connect to host[:port]'
complete -c ferrox -s i -l input -d "Send standard input or the files (a listener's way to send)"
complete -c ferrox -s l -l listen -x -a '(__ferrox_address_forms "[::]:" "[::1]:")' -d 'Listen on a port, or on [address]:port'
complete -c ferrox -s n -l nobuf -d 'Send each keystroke at once when standard input is a terminal'
complete -c ferrox -s o -l output -d "Receive into standard output (a client's way to receive)"
complete -c ferrox -s p -l port -x -d 'Port or path for whichever of connecting and listening has none'
complete -c ferrox -s P -l bind-port -x -a '(__ferrox_address_forms "[::1]:")' -d 'Bind the connecting socket to a port, address:port or path'
complete -c ferrox -s q -l quiet -d 'Print no connection, progress or summary lines'
complete -c ferrox -s s -l sum -d 'Print the Adler-32 checksum of every byte read'
complete -c ferrox -s t -l timeout -x -d 'End a two-way transfer idle for this many seconds'
complete -c ferrox -s U -l unix-listen -r -F -d 'Listen on a UNIX-domain socket file'
complete -c ferrox -s u -l unix-host -x -a '(__ferrox_socket_files)' -d 'Connect to a UNIX-domain socket file'
complete -c ferrox -s v -l verbose -d 'Print buffer sizes, and progress dots for standard input and output'
complete -c ferrox -s H -l help -d 'Print the usage text and exit'
complete -c ferrox -s V -l version -d 'Print the version and exit'
complete -c ferrox -s C -l credits -d 'Print the credits and exit'
