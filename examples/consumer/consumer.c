/* The smallest useful host: connect, check the peer is a VQ6120 terminal,
 * greet it, and leave. Usage: consumer HOST-IPV4 PORT */
#include <arpa/inet.h>
#include <stdio.h>
#include <stdlib.h>

#include <VQ6120_LIB.h>

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s HOST-IPV4 PORT\n", argv[0]);
        return 2;
    }
    VQ6120_HANDLE t = InitialVQ6120(inet_addr(argv[1]), (uint16_t)atoi(argv[2]));
    if (t == NULL) {
        fprintf(stderr, "cannot connect\n");
        return 1;
    }
    int ok = GetConnectStatus(t, 5) == 1 && ClearText(t) == 1 && WriteText(t, "consumer", 8, 0) == 1;
    printf("library %.2f, terminal %s\n", GetDllVersion(), ok ? "answered" : "did not answer");
    ExitVQ6120(t);
    return ok ? 0 : 1;
}
