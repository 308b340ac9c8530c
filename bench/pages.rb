# frozen_string_literal: true

# Real pages, written by nobody here: the HTML manual of Debian's git-doc
# package. Two workloads come from it: whole pages, and the values a
# template would escape one call at a time (every text node and attribute
# value of one page, with its character references decoded, as the
# template's data held them before rendering).
module Pages
  DIR = ENV.fetch("BENCH_PAGES_DIR", "/usr/share/doc/git/html")
  PACKAGE = "git-doc"
  # The page whose values make the per-value workload: the largest.
  VALUES_PAGE = "git-config.html"

  module_function

  def ensure_installed!
    return unless Dir[File.join(DIR, "*.html")].empty?

    abort "bench: no pages in #{DIR}; install Debian's #{PACKAGE} (apt-get install #{PACKAGE})" unless Process.uid.zero?
    system("apt-get install -y -q #{PACKAGE} > /dev/null || " \
           "(apt-get update -q > /dev/null && apt-get install -y -q #{PACKAGE} > /dev/null)", exception: true)
  end

  def paths
    ensure_installed!
    Dir[File.join(DIR, "*.html")].sort
  end

  def read(path) = File.binread(path).force_encoding(Encoding::UTF_8)

  # All pages, in name order, read once.
  def all = (@all ||= paths.map { |p| read(p) })

  def largest = all.max_by(&:bytesize)

  def median
    pages = all.sort_by(&:bytesize)
    pages[pages.size / 2]
  end

  ENTITIES = { "lt" => "<", "gt" => ">", "amp" => "&", "quot" => '"', "apos" => "'", "nbsp" => "\u00a0",
               "#39" => "'" }.freeze

  def decode(text)
    text.gsub(/&(#x\h+|#\d+|\w+);/) do
      ref = Regexp.last_match(1)
      if ref.start_with?("#x") then [ref[2..].hex].pack("U")
      elsif ref.start_with?("#") then [ref[1..].to_i].pack("U")
      else ENTITIES.fetch(ref, "&#{ref};")
      end
    end
  end

  # Every non-blank text node (outside script and style) and every quoted
  # attribute value, in document order, decoded.
  def values(page = read(File.join(DIR, VALUES_PAGE)))
    ensure_installed!
    body = page.gsub(%r{<(script|style)\b.*?</\1>}mi, "")
    out = []
    body.scan(/<[^>]*>|[^<]+/) do |token|
      if token.start_with?("<")
        token.scan(/\s[\w:.-]+\s*=\s*(?:"([^"]*)"|'([^']*)')/) { |dq, sq| out << decode(dq || sq) }
      elsif !token.strip.empty?
        out << decode(token)
      end
    end
    out
  end

  def median_length(strs)
    sizes = strs.map(&:bytesize).sort
    sizes[sizes.size / 2]
  end

  def special_share(strs)
    total = strs.sum(&:bytesize)
    total.zero? ? 0.0 : strs.sum { |s| s.count(%("&'<>)) }.fdiv(total)
  end
end
