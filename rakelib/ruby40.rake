# frozen_string_literal: true

require "json"

# Ruby 4.0, which no Debian suite has, as far as it runs here: its
# WebAssembly build from the npm registry, under Node's WASI. It loads no
# native extension, so this runs lib/'s Ruby wiring with built-in C methods
# standing in for the extension's and the other libraries' native ones.
WASM_RUBY_PACKAGES = %w[@ruby/4.0-wasm-wasi@2.10.1 @ruby/wasm-wasi@2.10.1].freeze
WASM_DIR = File.join(ROOT, "tmp", "ruby40")
WASM_MOUNT = "/cgiesc"

# What the interpreter sees under /cgiesc: lib/'s Ruby files (no object),
# the gemspec, the wiring checks and their stand-ins.
def stage_for_wasm(stage)
  rm_rf stage, verbose: false
  files = FileList["lib/**/*.rb", "cgiesc.gemspec", "test/wasm/**/*.rb", "test/support/only_ours.rb",
                   "test/support/erb_like/*.rb"]
  files.each do |f|
    mkdir_p File.join(stage, File.dirname(f)), verbose: false
    cp f, File.join(stage, f), verbose: false
  end
end

namespace :test do
  desc "lib/'s wiring on Ruby 4.0's WebAssembly build: loading, staying in force, ERB in every order, erb_report"
  task :ruby40 do
    wasm = File.join(WASM_DIR, "node_modules", "@ruby", "4.0-wasm-wasi", "dist", "ruby+stdlib.wasm")
    sh "npm", "install", "--prefix", WASM_DIR, "--no-audit", "--no-fund", "--loglevel=error", *WASM_RUBY_PACKAGES unless
      File.exist?(wasm)
    stage = File.join(WASM_DIR, "stage")
    stage_for_wasm(stage)
    cases = [%w[loads], ["platform_gem", native_ruby_requirement.join(", ")], %w[in_force], %w[rival_first],
             *%w[escape_style.rb util_style.rb].flat_map do |style|
               [["erb_order", "cgiesc/erb", style], ["erb_order", style, "cgiesc/erb"]]
             end,
             %w[erb_copy_before], ["erb_warning", "escape_style.rb", "ERB::Escape#html_escape"],
             ["erb_warning", "util_style.rb", "ERB::Util#html_escape"]]
    snippets = cases.map do |name, *args|
      %(load "#{WASM_MOUNT}/test/wasm/wiring.rb"; WasmWiring.#{name}(#{args.map(&:to_json).join(", ")}))
    end
    require "open3"
    env = { "NODE_PATH" => File.join(WASM_DIR, "node_modules") }
    # A process per interpreter: Node 20 has been seen to crash when one
    # process goes on after an interpreter has run, and, now and then, as
    # the process exits. An interpreter counts when it printed its last line.
    crashed_at_exit = 0
    lines = snippets.flat_map do |snippet|
      out, err, status = Open3.capture3(env, "node", "--no-warnings", "test/wasm/run.js", wasm, stage, WASM_MOUNT,
                                        "$stdout.sync = true\n#{snippet}\nputs 'finished'")
      printed = out.lines(chomp: true)
      finished = printed.delete("finished")
      crashed_at_exit += 1 if finished && !status.success?
      finished ? printed : printed + ["FAIL #{snippet}: did not finish (#{status}): #{err[0, 300]}"]
    end
    version = `node --version`.strip
    lines.each { |l| puts "ruby40: #{l}" }
    passed = lines.count { |l| l.start_with?("ok ") }
    failed = lines.count { |l| l.start_with?("FAIL ") }
    puts "ruby40: Ruby 4.0 (#{WASM_RUBY_PACKAGES.first}, wasm32-wasi) under Node #{version}: " \
         "#{cases.size} interpreters, #{passed} checks passed, #{failed} failed" \
         "#{"; Node crashed as #{crashed_at_exit} of them exited, after their last line" if crashed_at_exit.positive?}"
    abort "ruby40: failed" unless failed.zero? && passed.positive?
  end
end
