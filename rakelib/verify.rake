# frozen_string_literal: true

require "digest"
require "stringio"
require "zlib"

# Rebuilding the gems of a commit and comparing them with published sums:
# the gems are dated by the commit and packed from files with fixed modes,
# and each object is built in its Ruby's chroot at the same path, so a
# rebuild anywhere and at any time gives the same bytes.

# Each entry of a gem as name => [mode, time, gzip time, bytes]: the gem's
# own members (their bytes once unpacked), and each file of its data archive.
def gem_entries(path)
  entries = {}
  File.open(path, "rb") do |io|
    Gem::Package::TarReader.new(io).each do |member|
      body = member.read.to_s
      name = member.full_name
      unless name.end_with?(".gz")
        entries[name] = [member.header.mode & 0o7777, member.header.mtime, nil, body]
        next
      end
      gz = Zlib::GzipReader.new(StringIO.new(body))
      raw = gz.read
      entries[name] = [member.header.mode & 0o7777, member.header.mtime, gz.mtime.to_i, name == "data.tar.gz" ? nil : raw]
      next unless name == "data.tar.gz"

      Gem::Package::TarReader.new(StringIO.new(raw)).each do |file|
        entries["data.tar.gz: #{file.full_name}"] = [file.header.mode & 0o7777, file.header.mtime, nil, file.read.to_s]
      end
    end
  end
  entries
end

# Where two gems differ: one line per entry that differs, naming the mode,
# the time, or the first byte at which the contents part.
def gem_differences(expected, actual)
  want = gem_entries(expected)
  got = gem_entries(actual)
  (want.keys | got.keys).filter_map do |name|
    a = want[name]
    b = got[name]
    next "#{name}: only in #{a ? "the published gem" : "the rebuilt one"}" unless a && b
    next if a == b

    parts = []
    parts << format("mode %o, rebuilt %o", a[0], b[0]) if a[0] != b[0]
    parts << "time #{a[1]}, rebuilt #{b[1]}" if a[1] != b[1]
    parts << "gzip time #{a[2]}, rebuilt #{b[2]}" if a[2] != b[2]
    if a[3] != b[3]
      at = (0...[a[3].bytesize, b[3].bytesize].min).find { |i| a[3].getbyte(i) != b[3].getbyte(i) }
      parts << "bytes differ from offset #{at || [a[3].bytesize, b[3].bytesize].min} " \
               "(#{a[3].bytesize} bytes, rebuilt #{b[3].bytesize})"
    end
    "#{name}: #{parts.join("; ")}"
  end
end

def read_sums(path)
  abort "gem:verify: no #{path}; run rake gem:native, or give PKG=dir with the published gems and sums" unless
    File.exist?(path)
  File.readlines(path, chomp: true).to_h { |l| l.split("  ", 2).reverse }
end

namespace :gem do
  desc "Rebuild the gems named in PKG/SHA256SUMS (PKG=pkg) and compare; CGIESC_VERIFY_ABIS=3.4 rebuilds only " \
       "those objects and takes the others from the published gems"
  task :verify do
    pkg = File.expand_path(ENV.fetch("PKG", "pkg"))
    sums = read_sums(File.join(pkg, "SHA256SUMS"))
    out = File.join(ROOT, "tmp", "verify")
    rm_rf out
    abis = ENV["CGIESC_VERIFY_ABIS"]&.split(",") || NATIVE_RUBIES.map { |rb| rb[:abi] }
    rebuilt = sums.keys.map do |name|
      platform = name[/\Acgiesc-[\d.]+-(.+)\.gem\z/, 1]
      next build_source_gem(into: out) unless platform

      cpu = platform.delete_suffix("-#{NATIVE_OS}")
      published = File.join(pkg, name)
      unpacked = File.join(out, "published-#{platform}")
      Gem::Package.new(published).extract_files(unpacked) unless abis.size == NATIVE_RUBIES.size
      objects = NATIVE_RUBIES.to_h do |rb|
        [rb[:abi], if abis.include?(rb[:abi])
                     build_native_object(cpu, rb, into: File.join(out, "native"))
                   else
                     File.join(unpacked, "lib", "cgiesc", rb[:abi], "escape.so")
                   end]
      end
      build_platform_gem(platform, objects, into: out, rubygems: NATIVE_RUBYGEMS)
    end
    failures = rebuilt.map do |gem|
      name = File.basename(gem)
      sum = Digest::SHA256.file(gem).hexdigest
      if sums[name] == sum
        puts "verify: #{name}: same bytes (sha256 #{sum})"
        next
      end
      published = File.join(pkg, name)
      detail = File.exist?(published) ? gem_differences(published, gem) : ["#{published} is not here to compare"]
      puts "verify: #{name}: differs (sha256 #{sum}, published #{sums[name]})", *detail.map { |d| "  #{d}" }
      name
    end.compact
    objects = abis.size == NATIVE_RUBIES.size ? "every object" : "the objects for Ruby #{abis.join(", ")}"
    puts "verify: #{rebuilt.size} gems rebuilt in #{ROOT} (#{objects} built afresh), " \
         "#{rebuilt.size - failures.size} the same as #{pkg}/SHA256SUMS"
    abort "gem:verify: #{failures.join(", ")} differ" unless failures.empty?
  end
end
