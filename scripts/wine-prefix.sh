# shellcheck shell=bash
# Sourced by the scripts that run kavrelt.exe under wine. One fresh wine
# prefix serves a whole script: start_wine_prefix DIR makes it and starts a
# resident server; remove_wine_prefix, called at exit, stops the server and
# removes the prefix (it does nothing before start_wine_prefix).

# The server writes the registry into the prefix as it exits: wait for it
# before removing the prefix.
stop_wineserver() {
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
}

wine_prefix=
remove_wine_prefix() {
    [ -n "$wine_prefix" ] || return 0
    stop_wineserver
    rm -rf "$wine_prefix"
}

# start_wine_prefix DIR: DIR is removed and made anew; wineboot's output goes
# to DIR.log and is shown only when it fails.
start_wine_prefix() {
    # Wine reads these everywhere below, including in processes ctest starts.
    # The .NET and HTML engines are never needed; not loading them spares
    # wineboot from looking for their installers.
    wine_prefix=$1
    export WINEPREFIX=$1
    export WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml="
    # A server left over from an interrupted run would still hold the old prefix.
    stop_wineserver
    rm -rf "$WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    # A resident server makes each of many short wine runs start quickly; it
    # has to be started before anything else runs in the prefix.
    wineserver -p
    if ! wineboot -i >"$WINEPREFIX.log" 2>&1; then
        cat "$WINEPREFIX.log" >&2
        return 1
    fi
}
