# frozen_string_literal: true

# The Ruby-free core on other architectures, cross-compiled and run under
# qemu-user: aarch64 with its NEON and portable kernels, and s390x, which
# is big-endian, with the portable kernel. Emulation checks correctness
# only; its timings mean nothing.

CROSS_TARGETS = {
  "aarch64" => { triplet: "aarch64-linux-gnu", kernels: %w[neon portable] },
  "s390x" => { triplet: "s390x-linux-gnu", kernels: %w[portable] }
}.freeze
CROSS_PACKAGES = [*CROSS_TARGETS.values.map { |t| "g++-#{t[:triplet]}" }, "qemu-user"].freeze
CROSS_RANDOM_INPUTS = 20_000

def cross_tools_present?
  CROSS_TARGETS.all? do |arch, t|
    ["#{t[:triplet]}-g++", "qemu-#{arch}"].all? { |cmd| system("command -v #{cmd} > /dev/null 2>&1") }
  end
end

task "cross:setup" do
  next if cross_tools_present?

  install_debian_packages("test:cross", CROSS_PACKAGES)
end

namespace :test do
  desc "Kernel test and a randomized differential run on aarch64 and s390x, under qemu-user"
  task cross: "cross:setup" do
    CROSS_TARGETS.each do |arch, target|
      dir = File.join("tmp", "cross-#{arch}")
      mkdir_p dir, verbose: false
      cxx = ["#{target[:triplet]}-g++", "-std=c++17", "-O2", "-Wall", "-Wextra", "-static", "-Isrc"]
      kernel_test = File.join(dir, "kernel_test")
      random_inputs = File.join(dir, "random_inputs")
      sh(*cxx, "-o", kernel_test, "test/kernel_test.cpp", *CORE_SOURCES)
      sh(*cxx, "-o", random_inputs, "test/fuzz/random_inputs.cpp", "test/fuzz/fuzz_kernels.cpp", *CORE_SOURCES)
      qemu = "qemu-#{arch}"
      found = `#{qemu} #{kernel_test} --list`.split
      puts "#{arch}: kernels #{found.join(", ")}"
      abort "#{arch}: expected kernels #{target[:kernels].join(", ")}" unless found == target[:kernels]
      sh qemu, kernel_test
      sh qemu, random_inputs, CROSS_RANDOM_INPUTS.to_s
    end
  end
end
