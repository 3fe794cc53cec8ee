/*
 * example_host.c - the smallest useful host of the dorevivezo connector, and
 * a starting point for your own: it lays out the command records, answers
 * the connector's callback services, connects to an ODBC data source, runs
 * one SQL statement, fetches its whole result as blocks of text, and reads
 * the diagnostics of a failure.
 *
 *   example_host CONNECTION-STRING SQL
 *   example_host '-host=sales -user=clerk -pw=secret' 'SELECT * FROM orders'
 *
 * Prints the rows with " | " between values; exits 1 after a failure.
 */
#include <dorevivezo.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* The running command: its code (argument 1), header (argument 2) and up
 * to one argument of its own (argument 3). */
static int32_t command_code;
static CmdHdr header;
static union {
    HostContext ctx;
    unsigned char room[sizeof(HostContext) + 4 * sizeof(ArgDescriptor)];
} records;

/* The callback services, for the arguments of the running command. */
static int32_t ORV_CALL serve(int32_t service, HostContext *ctx,
                              int32_t selector, int32_t a, int32_t b, void *p,
                              int32_t n) {
    (void)a, (void)b;
    if (service == GET_INT && selector == 1) return command_code;
    if (selector < 3 || selector > ctx->arg_count) return 1;
    ArgDescriptor *arg = &ctx->args[selector];
    if (service == PUT_STRING && p != NULL && arg->size > 0) {
        /* A text handed over: store it, cut to the argument's storage. */
        size_t len = n < 0 ? strlen(p) : (size_t)n;
        if (len >= arg->size) len = arg->size - 1;
        memcpy(arg->data, p, len);
        ((char *)arg->data)[len] = 0;
        return 0;
    }
    return 1; /* services this host does not offer */
}

/* Runs command `code` on `slot` with argument 3 (when data is not NULL);
 * returns the status. */
static int run(int32_t code, uint8_t slot, void *data, uint32_t size) {
    memset(&records, 0, sizeof records);
    memset(&header, 0, sizeof header);
    command_code = code;
    header.slot = slot;
    records.ctx.arg_count = data != NULL ? 3 : 2;
    records.ctx.args[2].data = &header;
    records.ctx.args[2].size = sizeof header;
    records.ctx.args[3].type_flags = 2; /* text */
    records.ctx.args[3].data = data;
    records.ctx.args[3].size = size;
    return orvsql(&records.ctx, serve);
}

/* The 32-bit header fields arrive with their 16-bit halves exchanged. */
static int32_t unswap(int32_t v) {
    uint32_t u = (uint32_t)v;
    return (int32_t)((u << 16) | (u >> 16));
}

/* Reports a failed command with the driver's message (command 3). */
static int fail(const char *what, int status, uint8_t slot) {
    char state[6];
    int32_t native = unswap(header.native_error);
    char message[512] = "";
    memcpy(state, header.sqlstate, sizeof state);
    run(3, slot, message, sizeof message);
    fprintf(stderr, "%s failed: status %d, SQLSTATE %s, native error %d: %s\n",
            what, status, state, (int)native, message);
    return 1;
}

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s CONNECTION-STRING SQL\n", argv[0]);
        return 2;
    }
    char *connection = argv[1];      /* rewritten in place by the connector */
    int status = run(1, 0, NULL, 0); /* the ODBC environment */
    if (status != ORV_OK) return fail("environment", status, 0);
    if ((status = run(4, 0, NULL, 0)) != ORV_OK) /* a connection slot */
        return fail("slot", status, 0);
    uint8_t slot = header.slot;
    status = run(6, slot, connection, (uint32_t)strlen(connection) + 1);
    if (status != ORV_OK) return fail("connect", status, slot);

    status = run(9, slot, argv[2], (uint32_t)strlen(argv[2]) + 1);
    if (status != ORV_OK) return fail("execute", status, slot);
    int32_t columns = unswap(header.count);

    /* Block fetch: the column names, then count values per row, each ending
     * in a zero byte.  "01004" says more rows follow in the next block. */
    int more = columns > 0;
    while (more) {
        const char *block = NULL;
        if ((status = run(25, slot, &block, sizeof block)) != ORV_OK)
            return fail("fetch", status, slot);
        int32_t values = unswap(header.count);
        long rows = (long)header.number;
        for (int32_t i = 0; i < columns; ++i) block += strlen(block) + 1;
        for (long r = 0; r < rows; ++r) {
            for (int32_t v = 0; v < values; ++v) {
                printf("%s%s", v > 0 ? " | " : "", block);
                block += strlen(block) + 1;
            }
            printf("\n");
        }
        more = strcmp(header.sqlstate, "01004") == 0;
    }

    run(7, slot, NULL, 0); /* disconnect and free the slot */
    run(2, 0, NULL, 0);    /* release the environment */
    return 0;
}
