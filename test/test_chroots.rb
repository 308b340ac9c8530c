# frozen_string_literal: true

require_relative "test_helper"
require "tmpdir"

# A chroot is made as a copy of the made chroot of its suite, architecture
# and experimental packages that is nearest to it; never of another family.
class TestChroots < Minitest::Test
  RECIPES = {
    "full" => "trixie arm64 ca-certificates g++ make rake ruby-minitest ruby3.3-dev experimental:",
    "server" => "trixie arm64 ca-certificates g++ libyaml-dev make rake ruby-minitest ruby3.3-dev experimental: " \
                "role: gem-server",
    "sid" => "sid arm64 ruby-minitest experimental: ruby3.4 ruby3.4-dev",
    "other-arch" => "trixie amd64 ruby-minitest ruby3.3-dev experimental:",
    "unfinished" => nil
  }.freeze

  # Where each target would be copied from, with the cache above; nil for
  # none.
  def bases(cache, targets)
    require "json"  # here: the Windows Ruby of test:windows has no JSON parser
    script = %(require "rake"; require "json"
               Dir.chdir(#{ROOT.dump})
               Rake.application.init("rake", [])
               Rake.application.load_rakefile
               targets = JSON.parse(ARGV[0], symbolize_names: true)
               puts JSON.generate(targets.map { |t| b, packages = chroot_base(t); b && [File.basename(b), packages] }))
    out, err, status = run_ruby(script, JSON.generate(targets), env: { "CGIESC_CHROOT_CACHE" => cache })
    assert status.success?, err
    JSON.parse(out)
  end

  def test_the_nearest_chroot_of_the_same_family_is_the_base
    skip "the chroot tasks run on the Linux machine that builds" if WINDOWS
    Dir.mktmpdir do |cache|
      RECIPES.each do |name, recipe|
        words = recipe.to_s.split
        dir = File.join(cache, "#{words[0] || "trixie"}-#{words[1] || "arm64"}-#{name}")
        Dir.mkdir(dir)
        File.write(File.join(dir, ".cgiesc-recipe"), "#{recipe}\n") if recipe
      end
      compilerless = { suite: "trixie", arch: "arm64", packages: %w[ruby3.3-dev ruby-minitest], compiler: false }
      server = { suite: "trixie", arch: "arm64", packages: %w[ruby3.3-dev libyaml-dev], role: "gem-server" }
      sid = { suite: "sid", arch: "arm64", packages: %w[ruby-minitest], experimental: %w[ruby3.4-dev ruby3.4] }
      sid_without = { suite: "sid", arch: "arm64", packages: %w[ruby-minitest] }
      s390x = { suite: "trixie", arch: "s390x", packages: %w[ruby3.3-dev] }
      full = %w[ca-certificates g++ make rake ruby-minitest ruby3.3-dev]
      assert_equal [["trixie-arm64-full", full],
                    # The role keeps the server apart, not out of its family.
                    ["trixie-arm64-server", full.dup.insert(2, "libyaml-dev")],
                    ["sid-arm64-sid", %w[ruby-minitest]],
                    nil, nil],
                   bases(cache, [compilerless, server, sid, sid_without, s390x])
    end
  end
end
