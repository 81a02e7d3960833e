#pragma once
/* Valid C and C++. */
// The stand-in runtime's control functions, as a test finds them in the loaded stand-in DLL
// with GetProcAddress.
//
//   StandinConfigure(step, outcomes): the outcomes of the step's next calls, comma-separated;
//     the last one stays. A step is "object.method", e.g. "environment.CreateCoreWebView2Controller",
//     "client.CreateWebViewEnvironmentWithOptionsInternal", "browser.AddScriptToExecuteOnDocumentCreated".
//     Outcomes: ok, fail[:hr], complete:hr (the completion reports hr), null (success without
//     an object), never (no completion ever), sync (completion inside the call), defer (kept
//     until the event release_deferred), sfalse.
//   StandinLog(buffer, capacity): every call as "object.method(details)", one per line, with
//     "attach" and "~object" (destroyed); returns the size needed.
//   StandinRaise(kind, argument, reply, capacity): web_message (text), web_message_json,
//     permission ("6", or "!6" when the kind cannot be read), navigation (uri),
//     frame_navigation (uri), new_window (uri), release_deferred; the reply says what the
//     handlers decided ("state=1", "cancel=1", "handled=1").
//   StandinOnDetach(observer): called with the count of objects still alive when the DLL is
//     unloaded by FreeLibrary.

typedef void (*StandinConfigure_fn)(const char* step, const char* outcomes);
typedef void (*StandinReset_fn)(void);
typedef unsigned (*StandinLog_fn)(char* buffer, unsigned capacity);
typedef int (*StandinLiveObjects_fn)(void);
typedef unsigned (*StandinRaise_fn)(const char* kind, const char* argument, char* reply, unsigned capacity);
typedef void (*StandinOnDetach_fn)(void (*observer)(int live_objects));
