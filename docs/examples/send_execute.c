/* send_execute.c: sends one SMS with the execute command and waits for its
 * outcome in the item Result.
 *
 *   send_execute NUMBER TEXT
 *
 * A Unicode client: the command goes as UTF-16, so every character of TEXT
 * arrives, line breaks included. Prints "id N" and then every state of the
 * message ("queued", "sent 17", "failed +CMS ERROR: 500"); exits 0 when
 * sent, 1 when failed, 2 when refused or nothing came within 60 s. */
#include <windows.h>
#include <ddeml.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

static char lines[64][256]; /* Result lines as they arrive */
static int count;

static HDDEDATA CALLBACK callback(UINT type, UINT fmt, HCONV conv, HSZ hsz1, HSZ hsz2,
                                  HDDEDATA data, ULONG_PTR d1, ULONG_PTR d2) {
  (void)fmt, (void)conv, (void)hsz1, (void)hsz2, (void)d1, (void)d2;
  if (type == XTYP_ADVDATA && data && count < 64) {
    char *line = lines[count++];
    DWORD n = DdeGetData(data, (LPBYTE)line, 255, 0);
    line[n] = '\0';
    line[strcspn(line, "\r\n")] = '\0';
    return (HDDEDATA)DDE_FACK;
  }
  return NULL;
}

static void pump(DWORD ms) {
  DWORD end = GetTickCount() + ms;
  MSG msg;
  do {
    while (PeekMessageW(&msg, NULL, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    Sleep(1);
  } while ((LONG)(end - GetTickCount()) > 0);
}

/* A DDEML instance with its conversation on Varnix|SMS0. */
struct session {
  DWORD inst;
  HCONV conv;
};

static int open_sms0(struct session *s) {
  HSZ service, topic;
  if (DdeInitializeW(&s->inst, callback, APPCMD_CLIENTONLY, 0) != DMLERR_NO_ERROR) return 0;
  service = DdeCreateStringHandleW(s->inst, L"Varnix", CP_WINUNICODE);
  topic = DdeCreateStringHandleW(s->inst, L"SMS0", CP_WINUNICODE);
  s->conv = DdeConnect(s->inst, service, topic, NULL);
  DdeFreeStringHandle(s->inst, service);
  DdeFreeStringHandle(s->inst, topic);
  return s->conv != NULL;
}

static void close_sms0(struct session *s) {
  if (s->conv) DdeDisconnect(s->conv);
  if (s->inst) DdeUninitialize(s->inst);
}

static HDDEDATA transact(struct session *s, const wchar_t *item, UINT type, const void *data,
                         DWORD size, DWORD *result) {
  HSZ hsz = item ? DdeCreateStringHandleW(s->inst, item, CP_WINUNICODE) : NULL;
  HDDEDATA r = DdeClientTransaction((LPBYTE)data, size, s->conv, hsz,
                                    item ? CF_TEXT : CF_UNICODETEXT, type, 10000, result);
  if (hsz) DdeFreeStringHandle(s->inst, hsz);
  pump(20);
  return r;
}

/* "s" with its quotes doubled, between quotes, appended to out. */
static void quoted(wchar_t *out, const wchar_t *s) {
  wchar_t *p = out + wcslen(out);
  *p++ = L'"';
  for (; *s; ++s) {
    *p++ = *s;
    if (*s == L'"') *p++ = L'"';
  }
  *p++ = L'"';
  *p = L'\0';
}

int wmain(int argc, wchar_t **argv) {
  static wchar_t command[8192];
  struct session watch = {0, NULL}, conv = {0, NULL};
  DWORD result = 0, end;
  HDDEDATA r;
  char id[32] = "";
  int code = 2, seen = 0;

  if (argc != 3 || wcslen(argv[1]) + 2 * wcslen(argv[2]) > 8000) {
    fprintf(stderr, "usage: send_execute NUMBER TEXT\n");
    return 2;
  }
  /* Two instances, one watching, one sending: Result lines of any message
   * may be advised while the execute is under way, and Wine's DDEML takes
   * advise data that reaches the executing conversation for the execute's
   * answer. It allows an instance only one conversation with Varnix|SMS0. */
  if (!open_sms0(&watch) || !open_sms0(&conv)) {
    fprintf(stderr, "Varnix is not running\n");
    goto done;
  }
  /* Watch Result first, so that no line of the new message is missed. */
  if (!transact(&watch, L"Result", XTYP_ADVSTART, NULL, 0, NULL)) {
    fprintf(stderr, "no item Result: an older Varnix, or its port did not open\n");
    goto done;
  }
  wcscpy(command, L"[Send(");
  quoted(command, argv[1]);
  wcscat(command, L",");
  quoted(command, argv[2]);
  wcscat(command, L")]");
  r = transact(&conv, NULL, XTYP_EXECUTE, command,
               (DWORD)((wcslen(command) + 1) * sizeof(wchar_t)), &result);
  if (!r || !(result & DDE_FACK)) {
    fprintf(stderr, "refused: a number other than digits after an optional +, or an empty text\n");
    goto done;
  }
  /* Id of this conversation: the message just queued. */
  r = transact(&conv, L"Id", XTYP_REQUEST, NULL, 0, NULL);
  if (r) {
    DWORD n = DdeGetData(r, (LPBYTE)id, sizeof id - 1, 0);
    id[n] = '\0';
    id[strcspn(id, "\r\n")] = '\0';
    DdeFreeDataHandle(r);
  }
  if (!id[0]) goto done;
  printf("id %s\n", id);
  fflush(stdout);

  /* Every line is "<id>\t<state>\t<detail>"; this message's come in order. */
  end = GetTickCount() + 60000;
  while (code == 2 && (LONG)(end - GetTickCount()) > 0) {
    pump(50);
    for (; seen < count && code == 2; ++seen) {
      char *state = strchr(lines[seen], '\t'), *detail;
      if (!state) continue;
      *state++ = '\0';
      if (strcmp(lines[seen], id) != 0) continue;
      detail = strchr(state, '\t');
      if (detail) *detail++ = '\0';
      if (detail && *detail)
        printf("%s %s\n", state, detail);
      else
        printf("%s\n", state);
      fflush(stdout);
      if (strcmp(state, "sent") == 0) code = 0;
      else if (strcmp(state, "failed") == 0) code = 1;
    }
  }
done:
  close_sms0(&watch);
  close_sms0(&conv);
  return code;
}
