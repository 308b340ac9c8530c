# frozen_string_literal: true

# Sanitizers, valgrind, collector stress, concurrency, hostile input and
# fuzzing. `rake test:hardening` runs them all; each prints its own counts.

ASAN_LIB = File.join(ROOT, "tmp", "asan-lib")
SANITIZE = "-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"

def gcc_runtime(name)
  `#{CXX} -print-file-name=#{name}`.strip
end

task "compile:asan" do
  built = build_extension("build-asan", "--with-cxxflags=-g -O1 #{SANITIZE}", "--with-ldflags=#{SANITIZE}")
  install_extension(built, File.join(ASAN_LIB, "cgiesc", File.basename(EXT)))
end

namespace :test do
  desc "Behaviour tests against an AddressSanitizer + UndefinedBehaviorSanitizer build"
  task asan: %w[compile:asan compile:rival compile:erb_standin] do
    env = {
      # The interpreter is not instrumented, so the runtime goes in first.
      "LD_PRELOAD" => gcc_runtime("libasan.so"),
      # detect_leaks=0: the interpreter frees much of its memory only at exit,
      # by design, and some never: leak reports would be its own, not ours.
      # use_sigaltstack=0: the interpreter installs its own alternate signal
      # stack in each thread, from malloc; the runtime would try to unmap it
      # as its own when the thread ends, and abort.
      "ASAN_OPTIONS" => "detect_leaks=0:use_sigaltstack=0:halt_on_error=1:abort_on_error=1:" \
                        "strict_string_checks=1:quarantine_size_mb=64",
      "UBSAN_OPTIONS" => "halt_on_error=1:print_stacktrace=1",
      # Building a gem under a preloaded runtime tests the compiler, not us.
      "CGIESC_SKIP_PACKAGING" => "1",
      "CGIESC_SANITIZED" => "1"
    }
    run_tests(FileList["test/test_*.rb", "test/stress/test_gc.rb", "test/stress/test_hostile.rb"],
              ext_dir: ASAN_LIB, env: env)
    puts "asan: zero reports (a report aborts the run)"
  end

  desc "Escaping, ERB, delegation and wiring tests under valgrind memcheck; fails on any error in the extension"
  task valgrind: :compile do
    xml = File.join(ROOT, "tmp", "valgrind.xml")
    prefix = ["valgrind", "--tool=memcheck", "--leak-check=no", "--suppressions=test/valgrind.supp", "--xml=yes",
              "--xml-file=#{xml}", "--error-limit=no", "--num-callers=40"]
    run_tests(FileList["test/test_escape.rb", "test/test_erb.rb", "test/test_delegation.rb", "test/test_wiring.rb"],
              prefix: prefix)
    ruby "test/support/valgrind_report.rb", xml
    # valgrind's virtual processor has only the instructions valgrind can
    # run: the extension picks its best kernel among those.
    under = `valgrind -q #{KERNEL_TEST} --list`.split
    missed = usable_kernels - under
    puts "valgrind: ran the #{under.first} kernel" +
         (missed.empty? ? "" : "; not run under valgrind, whose processor lacks their instructions: #{missed.join(", ")}")
  end

  desc "Behaviour under GC.stress and compaction"
  task gc: :compile do
    run_tests(FileList["test/stress/test_gc.rb"])
  end

  desc "8 threads and 4 Ractors escaping at once, with collection and compaction"
  task concurrency: :compile do
    run_tests(FileList["test/stress/test_concurrency.rb"])
  end

  desc "Hostile arguments, huge inputs, and memory bounds"
  task hostile: :compile do
    run_tests(FileList["test/stress/test_hostile.rb"])
  end

  desc "All of the above and the fuzzer"
  task hardening: %w[test:asan test:valgrind test:gc test:concurrency test:hostile test:cross fuzz]
end

FUZZ_BIN = File.join(ROOT, "tmp", "fuzz_kernels")

# libFuzzer's runtime comes with Debian's libclang-rt-14-dev.
def fuzzer_runtime?
  !`clang++-14 -print-file-name=libclang_rt.fuzzer-x86_64.a 2>/dev/null`.strip.start_with?("libclang_rt")
end

task "fuzz:setup" do
  install_debian_packages("fuzz", %w[libclang-rt-14-dev]) unless fuzzer_runtime?
end

# Rebuilt only when a source changes; the setup task must not be a
# prerequisite here, or it would force a rebuild every time.
file FUZZ_BIN => ["test/fuzz/fuzz_kernels.cpp", "test/support/reference.h", *CORE_SOURCES, *FileList["src/*.h"]] do
  mkdir_p "tmp", verbose: false
  sh "clang++-14", "-std=c++17", "-O1", "-g", "-fsanitize=fuzzer", *SANITIZE.split,
     "-Isrc", "-o", FUZZ_BIN, "test/fuzz/fuzz_kernels.cpp", *CORE_SOURCES
end

desc "Fuzz every kernel against the reference (FUZZ_SECONDS=60)"
task fuzz: ["fuzz:setup", FUZZ_BIN] do
  seconds = Integer(ENV.fetch("FUZZ_SECONDS", 60))
  work = File.join(ROOT, "tmp", "fuzz-corpus")
  mkdir_p work, verbose: false
  # New inputs go to tmp/; the committed seeds are only read.
  sh FUZZ_BIN, "-max_total_time=#{seconds}", "-max_len=4096", "-print_final_stats=1", work, "test/fuzz/corpus"
end
