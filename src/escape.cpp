// Host glue: the Ruby method and the load-time wiring. Plain functions only:
// the interpreter leaves them by longjmp when it raises, so nothing here may
// own a C++ object with a destructor.
#include <ruby.h>
#include <ruby/encoding.h>
#include <ruby/version.h>

#include "escape_core.h"

namespace {

VALUE cgiesc_cgi_class;
VALUE cgiesc_escape_module;
VALUE cgiesc_util_module;

// Byte-wise scanning is only sound where every ASCII byte is a character of
// its own; other encodings go to the next escapeHTML in the lookup chain.
bool cgiesc_ascii_compatible(VALUE str) {
    rb_encoding *enc = rb_enc_get(str);
    return rb_enc_mbminlen(enc) == 1 && !rb_enc_dummy_p(enc);
}

void cgiesc_copy_taint(VALUE dst, VALUE src) {
// Ruby 2.7 made taint a no-op and 3.2 removed it.
#if RUBY_API_VERSION_MAJOR < 2 || (RUBY_API_VERSION_MAJOR == 2 && RUBY_API_VERSION_MINOR < 7)
    OBJ_INFECT(dst, src);
#else
    (void)dst;
    (void)src;
#endif
}

VALUE cgiesc_escape_html(VALUE self, VALUE arg) {
    (void)self;
    VALUE str = arg;
    rb_string_value(&str);
    if (!cgiesc_ascii_compatible(str)) return rb_call_super(1, &str);

    const long len = RSTRING_LEN(str);
    const unsigned char *src = reinterpret_cast<const unsigned char *>(RSTRING_PTR(str));
    const std::size_t n = static_cast<std::size_t>(len);

    VALUE out = Qnil;
    std::size_t start = 0;
    for (std::size_t i = cgiesc::find_special(src, n); i < n;
         i = start + cgiesc::find_special(src + start, n - start)) {
        if (NIL_P(out)) out = rb_str_buf_new(len);
        rb_str_cat(out, reinterpret_cast<const char *>(src + start), static_cast<long>(i - start));
        const cgiesc::Reference &ref = cgiesc::kReferences[src[i]];
        rb_str_cat(out, ref.text, static_cast<long>(ref.len));
        start = i + 1;
    }
    if (NIL_P(out)) return rb_str_dup(str);

    rb_str_cat(out, reinterpret_cast<const char *>(src + start), static_cast<long>(n - start));
    rb_enc_associate(out, rb_enc_get(str));
    cgiesc_copy_taint(out, str);
    RB_GC_GUARD(str);
    return out;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) void Init_escape(void) {
#ifdef HAVE_RB_EXT_RACTOR_SAFE
    // No state is kept between calls, so any Ractor may call in.
    rb_ext_ractor_safe(true);
#endif
    cgiesc_cgi_class = rb_define_class("CGI", rb_cObject);
    cgiesc_escape_module = rb_define_module_under(cgiesc_cgi_class, "Escape");
    cgiesc_util_module = rb_define_module_under(cgiesc_cgi_class, "Util");
    rb_define_method(cgiesc_escape_module, "escapeHTML", RUBY_METHOD_FUNC(cgiesc_escape_html), 1);
    rb_prepend_module(cgiesc_util_module, cgiesc_escape_module);
    rb_extend_object(cgiesc_cgi_class, cgiesc_escape_module);
}
