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

# --with-max-result=N lowers the longest result from the host's longest
# string, so that tests can reach the length check with small inputs.
max_result = with_config("max-result")
$defs << "-DCGIESC_MAX_RESULT=#{Integer(max_result)}L" if max_result

create_makefile("cgiesc/escape")
