# frozen_string_literal: true

require "mkmf"

$CFLAGS << " -Wall -Wextra"
# The interpreter's headers are not ours to keep -Wextra clean.
$INCFLAGS = $INCFLAGS.gsub(/-I(\$\((?:arch_)?hdrdir\)\S*)/, '-isystem \\1')
create_makefile("erb_standin")
