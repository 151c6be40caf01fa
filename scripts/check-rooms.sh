#!/bin/sh
# Checks that every room includes only itself and the rooms listed before it
# in the room order at the top of CMakeLists.txt, and that no code outside
# platform/ closes a descriptor itself. Prints each offence; exits 1 when any.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
order=$(sed -n 's/^#   \([a-z][a-z]*\)  .*/\1/p' CMakeLists.txt)
status=0
rank=0
seen=""
for room in $order; do
    rank=$((rank + 1))
    seen="$seen $room"
    [ -d "$room" ] || continue
    for inc in $(grep -rhoE '^#include "[a-z]+/' "$room" --include='*.cpp' --include='*.h' | sed 's/#include "//; s/\///' | sort -u); do
        case " $seen " in
            *" $inc "*) ;;
            *)
                if echo "$order" | grep -qx "$inc"; then
                    echo "$room includes $inc, a room above it:"
                    grep -rn "^#include \"$inc/" "$room" --include='*.cpp' --include='*.h' | sed 's/^/    /'
                    status=1
                fi
                ;;
        esac
    done
done
closes=$(grep -rn '::close(' $order --include='*.cpp' --include='*.h' 2>/dev/null | grep -v '^platform/' || true)
if [ -n "$closes" ]; then
    echo "descriptors closed outside platform/:"
    echo "$closes" | sed 's/^/    /'
    status=1
fi
exit $status
