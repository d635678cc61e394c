/* send_pokes.c: sends one SMS the classic way, with three pokes, and prints
 * the id the gateway gave it.
 *
 *   send_pokes NUMBER TEXT
 *
 * An ANSI client: the text goes as CF_TEXT in the ANSI code page (GBK on a
 * Chinese Windows), and only its first line is sent. Prints "id N" and
 * exits 0 when the message was queued, 2 when the gateway could not be
 * reached or queued nothing. */
#include <windows.h>
#include <ddeml.h>
#include <stdio.h>
#include <string.h>

static DWORD inst;

static HDDEDATA CALLBACK callback(UINT type, UINT fmt, HCONV conv, HSZ hsz1, HSZ hsz2,
                                  HDDEDATA data, ULONG_PTR d1, ULONG_PTR d2) {
  (void)type, (void)fmt, (void)conv, (void)hsz1, (void)hsz2, (void)data, (void)d1, (void)d2;
  return NULL;
}

/* Lets late acknowledgements arrive before the next transaction: Wine's
 * DDEML can take one for the answer to the next. */
static void pump(DWORD ms) {
  DWORD end = GetTickCount() + ms;
  MSG msg;
  do {
    while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
    Sleep(1);
  } while ((LONG)(end - GetTickCount()) > 0);
}

static int poke(HCONV conv, const char *item, const char *text) {
  HSZ hsz = DdeCreateStringHandleA(inst, item, CP_WINANSI);
  DWORD result = 0;
  HDDEDATA r = DdeClientTransaction((LPBYTE)text, (DWORD)strlen(text) + 1, conv, hsz, CF_TEXT,
                                    XTYP_POKE, 10000, &result);
  DdeFreeStringHandle(inst, hsz);
  pump(20);
  /* Judge by DDE_FACK: a refused poke can return non-NULL. */
  return r != NULL && (result & DDE_FACK) != 0;
}

/* The item as text, its line end cut off; "" when refused. */
static void request(HCONV conv, const char *item, char *out, DWORD size) {
  HSZ hsz = DdeCreateStringHandleA(inst, item, CP_WINANSI);
  HDDEDATA r = DdeClientTransaction(NULL, 0, conv, hsz, CF_TEXT, XTYP_REQUEST, 10000, NULL);
  DdeFreeStringHandle(inst, hsz);
  out[0] = '\0';
  if (r) {
    DdeGetData(r, (LPBYTE)out, size - 1, 0);
    out[size - 1] = '\0';
    out[strcspn(out, "\r\n")] = '\0';
    DdeFreeDataHandle(r);
  }
  pump(20);
}

int main(int argc, char **argv) {
  HSZ service, topic;
  HCONV conv;
  char id[32];
  int code = 2;

  if (argc != 3) {
    fprintf(stderr, "usage: send_pokes NUMBER TEXT\n");
    return 2;
  }
  if (DdeInitializeA(&inst, callback, APPCMD_CLIENTONLY, 0) != DMLERR_NO_ERROR) return 2;
  service = DdeCreateStringHandleA(inst, "Varnix", CP_WINANSI);
  topic = DdeCreateStringHandleA(inst, "SMS0", CP_WINANSI);
  conv = DdeConnect(inst, service, topic, NULL);
  if (!conv) {
    fprintf(stderr, "Varnix is not running\n");
  } else if (poke(conv, "Num", argv[1]) && poke(conv, "SMS", argv[2]) && poke(conv, "Send", "1")) {
    /* Id: the last message queued on this conversation; empty when the
     * Send queued nothing (for instance while the gateway is closing). */
    request(conv, "Id", id, sizeof id);
    if (id[0]) {
      printf("id %s\n", id);
      code = 0;
    } else {
      fprintf(stderr, "nothing was queued\n");
    }
  } else {
    fprintf(stderr, "the gateway refused a poke\n");
  }
  if (conv) DdeDisconnect(conv);
  DdeFreeStringHandle(inst, service);
  DdeFreeStringHandle(inst, topic);
  DdeUninitialize(inst);
  return code;
}
