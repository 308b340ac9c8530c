// Host glue: the Ruby method and the load-time wiring. Plain functions only:
// the interpreter leaves them by longjmp when it raises, so nothing here may
// own a C++ object with a destructor.
#include <ruby.h>
#include <ruby/encoding.h>

#include <cstdlib>
#include <cstring>

#include "escape_core.h"

namespace {

VALUE cgiesc_cgi_class;
VALUE cgiesc_escape_module;
VALUE cgiesc_util_module;

// Chosen once at load; read-only afterwards.
const cgiesc::Kernel *cgiesc_kernel;

// Indexes of the encodings that nearly all strings have, looked up once at
// load: for these the gate and the result's encoding need no host call.
int cgiesc_utf8_index;
int cgiesc_usascii_index;
int cgiesc_binary_index;

// Inputs up to this length are escaped on the stack and copied out once.
constexpr std::size_t kShortLen = 256;

// Byte-wise scanning is only sound where every ASCII byte is a character of
// its own; other encodings go to the next escapeHTML in the lookup chain.
bool cgiesc_ascii_compatible(rb_encoding *enc) { return rb_enc_mbminlen(enc) == 1 && !rb_enc_dummy_p(enc); }

// str's encoding index when it is UTF-8, US-ASCII or ASCII-8BIT (all three
// ASCII-compatible), else -1.
int cgiesc_common_index(VALUE str) {
    const int idx = RB_ENCODING_GET_INLINED(str);
    return idx == cgiesc_utf8_index || idx == cgiesc_usascii_index || idx == cgiesc_binary_index ? idx : -1;
}

// Gives a new string the source's encoding: by its index when common (no
// host call), else through the host.
void cgiesc_give_encoding(VALUE out, int index, rb_encoding *enc) {
    if (index >= 0) {
        RB_ENCODING_SET_INLINED(out, index);
    } else {
        rb_enc_associate(out, enc);
    }
}

unsigned char *cgiesc_bytes(VALUE str) { return reinterpret_cast<unsigned char *>(RSTRING_PTR(str)); }

// Short inputs are escaped on the stack, from a padded copy, in one pass,
// and the result is made in one allocation. Every special byte lengthens
// the text, so an unchanged length means nothing was special: then there is
// no result (nil), and the caller copies the source.
// Not inlined: its buffers must not sit in the frame of the method itself,
// which the host may leave by longjmp (and so without the epilogue that
// AddressSanitizer uses to clear their redzones).
__attribute__((noinline)) VALUE cgiesc_escape_short(const unsigned char *src, std::size_t n) {
    unsigned char in[kShortLen + cgiesc::kPadding];
    unsigned char buf[cgiesc::escaped_bound(kShortLen)];
    std::memcpy(in, src, n);
    std::memset(in + n, 0, cgiesc::kPadding);
    const std::size_t w = cgiesc_kernel->escape_padded(in, n, buf);
    if (w == n) return Qnil;
    return rb_str_new(reinterpret_cast<const char *>(buf), static_cast<long>(w));
}

// The longest result allowed: the host's longest string, unless a test
// build lowers it to reach the check without gigabytes of input.
#ifndef CGIESC_MAX_RESULT
#define CGIESC_MAX_RESULT LONG_MAX
#endif
static_assert(CGIESC_MAX_RESULT <= LONG_MAX, "a result must fit in a long");

// Counts the escaped length first, so that the result is allocated once, at
// that length: no regrowth, no trimming, and no page of the buffer that
// the result does not use. The count starts at the first special byte;
// everything before it is known to be clean.
__attribute__((noinline)) VALUE cgiesc_escape_long(const unsigned char *src, std::size_t n, std::size_t first) {
    const std::uint64_t extra = cgiesc_kernel->count(src + first, n - first);
    const std::uint64_t capacity = cgiesc::result_capacity(n, extra, static_cast<std::uint64_t>(CGIESC_MAX_RESULT));
    if (capacity == 0) {
        rb_raise(rb_eArgError, "string too long to escape: %ld bytes would grow by %llu", static_cast<long>(n),
                 static_cast<unsigned long long>(extra));
    }
    // The kernels' write slack is capacity the string owns, never content.
    VALUE out = rb_str_buf_new(static_cast<long>(capacity));
    unsigned char *dst = cgiesc_bytes(out);
    std::memcpy(dst, src, first);
    const std::size_t written = first + cgiesc_kernel->escape(src + first, n - first, dst + first);
    // A count that disagreed with its escape would already have written out
    // of bounds: stop loudly rather than return what followed.
    if (written != capacity - cgiesc::kWriteSlack) rb_bug("cgiesc: %s kernel miscounted", cgiesc_kernel->name);
    rb_str_set_len(out, static_cast<long>(written));
    return out;
}

// What escaping needs to know of str's encoding, asking the host only for
// the uncommon ones: its common index (or -1), its record when not common,
// and whether it is ASCII-compatible, so that its bytes may be scanned.
struct Gate {
    int index;
    rb_encoding *enc;
    bool scannable;
};

Gate cgiesc_gate(VALUE str) {
    const int index = cgiesc_common_index(str);
    if (index >= 0) return {index, nullptr, true};
    rb_encoding *enc = rb_enc_get(str);
    return {index, enc, cgiesc_ascii_compatible(enc)};
}

// Escapes str, whose encoding is ASCII-compatible (index and enc as its
// gate gives them): a new String, or Qnil when nothing in str is special.
VALUE cgiesc_escape_string(VALUE str, int index, rb_encoding *enc) {
    const unsigned char *src = cgiesc_bytes(str);
    const std::size_t n = static_cast<std::size_t>(RSTRING_LEN(str));
    VALUE out;
    if (n <= kShortLen) {
        out = cgiesc_escape_short(src, n);
        if (NIL_P(out)) return Qnil;
    } else {
        // No result string at all unless something is special.
        const std::size_t first = cgiesc_kernel->find(src, n);
        if (first == n) return Qnil;
        out = cgiesc_escape_long(src, n, first);
    }
    cgiesc_give_encoding(out, index, enc);
    // No taint mark to carry over: Ruby 2.7 made taint a no-op, 3.2 removed it.
    // src points into str: keep str visibly alive, and so pinned, until here.
    RB_GC_GUARD(str);
    return out;
}

// The host unwinds this frame by __builtin_longjmp when a conversion or the
// next definition raises, which AddressSanitizer cannot see: the redzones
// around `str` would stay poisoned on the stack and trip the host's own
// code later. It only passes values on; the helpers it calls stay checked.
__attribute__((no_sanitize_address)) VALUE cgiesc_escape_html(VALUE self, VALUE arg) {
    (void)self;
    VALUE str = arg;
    if (!RB_TYPE_P(str, T_STRING)) rb_string_value(&str);
    const Gate gate = cgiesc_gate(str);
    if (!gate.scannable) return rb_call_super(1, &str);
    const VALUE out = cgiesc_escape_string(str, gate.index, gate.enc);
    return NIL_P(out) ? rb_str_dup(str) : out;
}

// ERB's html_escape, on the same paths: anything but a String goes through
// to_s first, a string with nothing to escape comes back itself, and one in
// an encoding that is not ASCII-compatible goes to CGI.escapeHTML.
__attribute__((no_sanitize_address)) VALUE cgiesc_erb_escape_html(VALUE self, VALUE arg) {
    (void)self;
    VALUE str = arg;
    if (!RB_TYPE_P(str, T_STRING)) {
        str = rb_funcall(arg, rb_intern("to_s"), 0);
        if (!RB_TYPE_P(str, T_STRING))
            rb_raise(rb_eTypeError, "can't convert %" PRIsVALUE " to String (%" PRIsVALUE "#to_s gives %" PRIsVALUE ")",
                     rb_obj_class(arg), rb_obj_class(arg), rb_obj_class(str));
    }
    const Gate gate = cgiesc_gate(str);
    if (!gate.scannable) return rb_funcall(cgiesc_cgi_class, rb_intern("escapeHTML"), 1, str);
    const VALUE out = cgiesc_escape_string(str, gate.index, gate.enc);
    return NIL_P(out) ? str : out;
}

}  // namespace

// Not instrumented, like the method: a wiring call that raises leaves it by
// longjmp, and AddressSanitizer would keep its frame's redzones poisoned.
extern "C" CGIESC_EXPORT __attribute__((no_sanitize_address)) void Init_escape(void) {
#ifdef HAVE_RB_EXT_RACTOR_SAFE
    // No state is kept between calls, so any Ractor may call in.
    rb_ext_ractor_safe(true);
#endif
    // CGIESC_KERNEL=name forces a kernel, for tests and benchmarks; a name
    // this processor cannot run is reported and the default used.
    const char *requested = getenv("CGIESC_KERNEL");
    const cgiesc::Choice choice = cgiesc::choose_kernel(requested);
    cgiesc_kernel = choice.kernel;
    if (choice.problem)
        rb_warn("cgiesc: CGIESC_KERNEL=%.64s %s; using %s", requested, choice.problem, choice.kernel->name);
    // Which kernel runs, for diagnostics and the tests: only in the gem's
    // module, which lib/cgiesc.rb defines first, so that the shared object
    // on its own adds nothing but CGI.
    // The same module holds ERB's html_escape until cgiesc/erb puts it in
    // place.
    const ID gem_module = rb_intern("CGIEsc");
    if (rb_const_defined_at(rb_cObject, gem_module)) {
        const VALUE mod = rb_const_get_at(rb_cObject, gem_module);
        if (RB_TYPE_P(mod, T_MODULE)) {
            rb_define_const(mod, "KERNEL", rb_obj_freeze(rb_str_new_cstr(cgiesc_kernel->name)));
            rb_define_method(rb_define_module_under(mod, "ERBEscape"), "html_escape", cgiesc_erb_escape_html, 1);
        }
    }
    cgiesc_utf8_index = rb_utf8_encindex();
    cgiesc_usascii_index = rb_usascii_encindex();
    cgiesc_binary_index = rb_ascii8bit_encindex();
    cgiesc_cgi_class = rb_define_class("CGI", rb_cObject);
    cgiesc_escape_module = rb_define_module_under(cgiesc_cgi_class, "Escape");
    cgiesc_util_module = rb_define_module_under(cgiesc_cgi_class, "Util");
    rb_define_method(cgiesc_escape_module, "escapeHTML", cgiesc_escape_html, 1);
    rb_prepend_module(cgiesc_util_module, cgiesc_escape_module);
    rb_extend_object(cgiesc_cgi_class, cgiesc_escape_module);
}
