# frozen_string_literal: true

require "mkmf"

# C++17, warnings on, and nothing exported but the entry point. Exceptions
# and RTTI are off: no C++ exception may ever unwind through the interpreter.
$CXXFLAGS << " -std=c++17 -O2 -Wall -Wextra -fvisibility=hidden" \
             " -fvisibility-inlines-hidden -fno-exceptions -fno-rtti"

# The interpreter's headers are not ours to keep -Wextra clean.
$INCFLAGS = $INCFLAGS.gsub(/-I(\$\((?:arch_)?hdrdir\)\S*)/, '-isystem \\1')

# --disable-simd leaves only the portable kernel, for processors and
# toolchains where the vector kernels cannot be built or trusted.
$defs << "-DCGIESC_NO_SIMD" unless enable_config("simd", true)

create_makefile("cgiesc/escape")
