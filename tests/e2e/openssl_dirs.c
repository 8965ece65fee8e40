/* Prints the folders that the OpenSSL linked into the service names, one a line: configuration,
   engines, modules; an empty line for one it does not name. */
#include <openssl/crypto.h>

#include <stdio.h>

int main(void) {
    const int which[] = {OPENSSL_INFO_CONFIG_DIR, OPENSSL_INFO_ENGINES_DIR, OPENSSL_INFO_MODULES_DIR};
    for (size_t i = 0; i < sizeof which / sizeof which[0]; ++i) {
        const char* folder = OPENSSL_info(which[i]);
        printf("%s\n", folder != NULL ? folder : "");
    }
    return 0;
}
