/* Lends an unpacked exim the user it was built for (Debian-exim), which only an installed
 * exim4-base creates: exim looks it up before it reads any configuration and refuses to start
 * without it. Preloaded into the tests' exim only, so that the system gains no user; its uid
 * is not 0 (exim refuses that), and the configuration's exim_user = root is what it runs as. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <grp.h>
#include <pwd.h>
#include <stddef.h>
#include <string.h>

static const char kName[] = "Debian-exim";

struct passwd* getpwnam(const char* name) {
    static struct passwd lent = {(char*)kName,
                                 (char*)"x",
                                 65534,
                                 65534,
                                 (char*)"",
                                 (char*)"/nonexistent",
                                 (char*)"/usr/sbin/nologin"};
    static struct passwd* (*system_lookup)(const char*) = NULL;
    if (name && strcmp(name, kName) == 0) return &lent;
    if (!system_lookup)
        system_lookup = (struct passwd * (*)(const char*)) dlsym(RTLD_NEXT, "getpwnam");
    return system_lookup ? system_lookup(name) : NULL;
}

struct group* getgrnam(const char* name) {
    static char* noMembers[] = {NULL};
    static struct group lent = {(char*)kName, (char*)"x", 65534, noMembers};
    static struct group* (*system_lookup)(const char*) = NULL;
    if (name && strcmp(name, kName) == 0) return &lent;
    if (!system_lookup)
        system_lookup = (struct group * (*)(const char*)) dlsym(RTLD_NEXT, "getgrnam");
    return system_lookup ? system_lookup(name) : NULL;
}
