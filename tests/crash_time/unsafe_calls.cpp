// Not crash-time code: what the symbol check must catch if it ever came into
// src/crash/async_safe/. Compiled into its own archive and checked like the
// crash-time target; never linked into a program.
#include <link.h>
#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

namespace {

pthread_mutex_t gLock = PTHREAD_MUTEX_INITIALIZER;

int countObject(dl_phdr_info*, size_t, void* data) {
    ++*static_cast<int*>(data);
    return 0;
}

}  // namespace

// Safe: must not be reported.
void writeFixedText(int fd) {
    static const char kText[] = "crash\n";
    ::write(fd, kText, std::strlen(kText));
}

// Each of these must be reported.
int formatWithStdio(char* out, size_t size, int value) {
    return std::snprintf(out, size, "%d", value);
}

void* allocate(size_t size) {
    return std::malloc(size);
}

void release(void* memory) {
    std::free(memory);
}

int* allocateObject() {
    return new int(7);
}

void lockAndDescribe(int error, char* out, size_t size) {
    ::pthread_mutex_lock(&gLock);
    std::strncpy(out, std::strerror(error), size);
    ::pthread_mutex_unlock(&gLock);
}

const std::string& lazyStatic() {
    static const std::string text(::getenv("HOME") != nullptr ? "home" : "none");
    return text;
}

int countLoadedObjects() {
    int count = 0;
    ::dl_iterate_phdr(countObject, &count);
    if (count < 0) throw std::runtime_error("impossible");
    return count;
}
