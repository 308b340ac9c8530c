# frozen_string_literal: true

# Fails the process if anything with "cgi" or "erb" in its path was loaded
# from outside this repository (or an allowed install directory): the
# interpreter ships its own CGI and ERB escaping, and no test may ever run
# against that.
module OnlyOurs
  ROOT = File.expand_path("../..", __dir__)

  def self.allowed_roots
    [ROOT] + ENV.fetch("CGIESC_ALLOWED_ROOTS", "").split(File::PATH_SEPARATOR).reject(&:empty?)
  end

  def self.foreign_features
    roots = allowed_roots.map { |r| File.join(File.realpath(r), "") }
    $LOADED_FEATURES.grep(%r{cgi|(\A|/)erb(\z|[/._])}i).reject do |f|
      real = File.exist?(f) ? File.realpath(f) : f
      roots.any? { |r| real.start_with?(r) }
    end
  end

  def self.check!
    foreign = foreign_features
    return if foreign.empty?

    $stdout.flush
    warn "cgiesc: foreign CGI or ERB code was loaded: #{foreign.join(", ")}"
    $stderr.flush
    exit!(1)
  end
end

# A subprocess that requires this file directly is checked as it exits; the
# test process hooks the check in after its tests have run instead.
at_exit { OnlyOurs.check! } unless defined?(Minitest)
