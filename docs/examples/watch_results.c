/* watch_results.c: prints what the gateway reports about every message,
 * from any client, as it happens.
 *
 *   watch_results COUNT SECONDS
 *
 * Keeps hot links on Result and Queue and prints each new value as
 * "Result <id> <state> <detail>" (the line's TABs shown as blanks) or
 * "Queue <n>"; ends after COUNT Result lines or SECONDS seconds. Prints
 * "watching" once both links stand. */
#include <windows.h>
#include <ddeml.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static DWORD inst;
static int results;

static HDDEDATA CALLBACK callback(UINT type, UINT fmt, HCONV conv, HSZ hsz1, HSZ item,
                                  HDDEDATA data, ULONG_PTR d1, ULONG_PTR d2) {
  char name[32], value[256];
  DWORD n;
  (void)fmt, (void)conv, (void)hsz1, (void)d1, (void)d2;
  if (type != XTYP_ADVDATA || !data) return NULL;
  DdeQueryStringA(inst, item, name, sizeof name, CP_WINANSI);
  n = DdeGetData(data, (LPBYTE)value, sizeof value - 1, 0);
  value[n] = '\0';
  value[strcspn(value, "\r\n")] = '\0';
  for (char *p = value; *p; ++p)
    if (*p == '\t') *p = ' ';
  printf("%s %s\n", name, value);
  fflush(stdout);
  if (strcmp(name, "Result") == 0) ++results;
  return (HDDEDATA)DDE_FACK;
}

static int advise(HCONV conv, const char *item) {
  HSZ hsz = DdeCreateStringHandleA(inst, item, CP_WINANSI);
  HDDEDATA r = DdeClientTransaction(NULL, 0, conv, hsz, CF_TEXT, XTYP_ADVSTART, 10000, NULL);
  DdeFreeStringHandle(inst, hsz);
  return r != NULL;
}

int main(int argc, char **argv) {
  HSZ service, topic;
  HCONV conv;
  DWORD end;
  MSG msg;
  int want;

  if (argc != 3) {
    fprintf(stderr, "usage: watch_results COUNT SECONDS\n");
    return 2;
  }
  want = atoi(argv[1]);
  if (DdeInitializeA(&inst, callback, APPCMD_CLIENTONLY, 0) != DMLERR_NO_ERROR) return 2;
  service = DdeCreateStringHandleA(inst, "Varnix", CP_WINANSI);
  topic = DdeCreateStringHandleA(inst, "SMS0", CP_WINANSI);
  conv = DdeConnect(inst, service, topic, NULL);
  if (!conv || !advise(conv, "Result") || !advise(conv, "Queue")) {
    fprintf(stderr, "Varnix is not running, or its port did not open\n");
    DdeUninitialize(inst);
    return 2;
  }
  printf("watching\n");
  fflush(stdout);
  /* DDEML delivers advise data through the thread's messages. */
  end = GetTickCount() + 1000u * (DWORD)atoi(argv[2]);
  while (results < want && (LONG)(end - GetTickCount()) > 0) {
    while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
    MsgWaitForMultipleObjects(0, NULL, FALSE, 50, QS_ALLINPUT);
  }
  DdeDisconnect(conv);
  DdeFreeStringHandle(inst, service);
  DdeFreeStringHandle(inst, topic);
  DdeUninitialize(inst);
  return results >= want ? 0 : 1;
}
