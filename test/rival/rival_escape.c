/* A stand-in for another library's native CGI::Escape#escapeHTML, loaded
 * by the tests before or after cgiesc. Built by the Rakefile; never shipped. */
#include <ruby.h>

static VALUE rival_escape_html(VALUE self, VALUE str) {
    (void)self;
    (void)str;
    return rb_str_new_cstr("rival");
}

static VALUE rival_helper(VALUE self) {
    (void)self;
    return ID2SYM(rb_intern("rival_helper"));
}

void Init_rival_escape(void) {
    VALUE cgi = rb_define_class("CGI", rb_cObject);
    VALUE escape = rb_define_module_under(cgi, "Escape");
    rb_define_method(escape, "escapeHTML", rival_escape_html, 1);
    rb_define_method(escape, "rival_helper", rival_helper, 0);
}
