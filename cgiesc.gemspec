# frozen_string_literal: true

require_relative "lib/cgiesc/version"

Gem::Specification.new do |spec|
  spec.name = "cgiesc"
  spec.version = CGIEsc::VERSION
  spec.authors = ["The cgiesc developers"]
  spec.summary = "A fast, exact native CGI.escapeHTML"
  spec.description = "A C++ extension that escapes the five HTML-special bytes " \
                     "(& < > \" ') in one vectorizable pass, as CGI.escapeHTML."
  spec.license = "MIT"
  # The oldest Ruby the tests have run on (rake test:rubies runs 3.3 and 3.4 too).
  spec.required_ruby_version = ">= 3.1"

  spec.files = Dir["lib/**/*.rb", "src/*.{cpp,h,rb}", "exe/*", "sig/*.rbs",
                   "README.md", "CHANGELOG.md", "LICENSE.txt"]
  spec.bindir = "exe"
  spec.executables = ["cgiesc"]
  spec.require_paths = ["lib"]
  spec.extensions = ["src/extconf.rb"]
  # Pushing a release takes a second factor. Homepage, source, changelog and
  # security contact wait for a public home.
  spec.metadata = { "rubygems_mfa_required" => "true" }
end
