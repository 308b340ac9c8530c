/* What the C++ library's <cstring> takes from macOS's C library, declared
   as its SDK does, for compiling without the SDK. */
#ifndef CGIESC_STANDIN_STRING_H
#define CGIESC_STANDIN_STRING_H
typedef __SIZE_TYPE__ size_t;
#ifdef __cplusplus
extern "C" {
#endif
void *memcpy(void *, const void *, size_t);
void *memmove(void *, const void *, size_t);
void *memset(void *, int, size_t);
void *memchr(const void *, int, size_t);
int memcmp(const void *, const void *, size_t);
int strcmp(const char *, const char *);
size_t strlen(const char *);
char *strchr(const char *, int);
char *strrchr(const char *, int);
char *strpbrk(const char *, const char *);
char *strstr(const char *, const char *);
#ifdef __cplusplus
}
#endif
#endif
