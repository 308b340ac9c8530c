/* The classic design of a native HTML escaper, for the benchmarks only
 * (never shipped): one pass a byte at a time; at the first special byte
 * the result is created with the source's length as its capacity, then
 * grows by appending each unchanged run and each reference; a string with
 * nothing special is copied (CGI's way) or returned itself (ERB's way,
 * which also converts anything but a String with to_s). */
#include <ruby.h>
#include <ruby/encoding.h>

/* The escaped string, or Qnil when nothing in str is special. */
static VALUE classic_scan(VALUE str) {
    VALUE out = Qnil;
    const char *p, *run;
    long i, n;
    p = RSTRING_PTR(str);
    n = RSTRING_LEN(str);
    run = p;
    for (i = 0; i < n; i++) {
        const char *ref;
        long len;
        switch (p[i]) {
            case '&': ref = "&amp;"; len = 5; break;
            case '<': ref = "&lt;"; len = 4; break;
            case '>': ref = "&gt;"; len = 4; break;
            case '"': ref = "&quot;"; len = 6; break;
            case '\'': ref = "&#39;"; len = 5; break;
            default: continue;
        }
        if (NIL_P(out)) out = rb_str_buf_new(n);
        rb_str_cat(out, run, p + i - run);
        rb_str_cat(out, ref, len);
        run = p + i + 1;
    }
    if (NIL_P(out)) return Qnil;
    rb_str_cat(out, run, p + n - run);
    rb_enc_associate(out, rb_enc_get(str));
    RB_GC_GUARD(str);
    return out;
}

static VALUE classic_escape_html(VALUE self, VALUE arg) {
    VALUE str = arg, out;
    (void)self;
    StringValue(str);
    out = classic_scan(str);
    return NIL_P(out) ? rb_str_dup(str) : out;
}

static VALUE classic_erb_escape_html(VALUE self, VALUE arg) {
    VALUE str = RB_TYPE_P(arg, T_STRING) ? arg : rb_obj_as_string(arg), out;
    (void)self;
    if (!rb_enc_asciicompat(rb_enc_get(str))) return rb_funcall(rb_path2class("CGI"), rb_intern("escapeHTML"), 1, str);
    out = classic_scan(str);
    return NIL_P(out) ? str : out;
}

void Init_classic_escape(void) {
    VALUE mod = rb_define_module("ClassicEscape");
    rb_define_module_function(mod, "escape_html", classic_escape_html, 1);
    rb_define_module_function(mod, "erb_escape_html", classic_erb_escape_html, 1);
}
