// A small HTTP client that sends its requests through the host's Python interpreter. The request script
// stores the response in the world container (sub-container 1056463, one sub-container per request id:
// 2000 status, 2001 headers, 2002 body) and then posts core event 1056466 with the request id; the
// response handler, a message plug-in, hands it to the request's callback on the host's main thread.
//
// Nothing in the module calls it, and nothing registers the handler at start-up: a caller registers it
// (RegisterHttpResponseHandler) before it sends asynchronous requests.
//
// Request ids: the largest id still waiting for its response, plus one (1 when none waits); 0 for a
// synchronous request while no handler is registered. An id's stored response is dropped when the id
// is handed out, so a late event or an old response of an earlier request with the same id never
// reaches the new one. Every request, synchronous ones included, posts its event.
//
// What the HTTP library would refuse is refused before any script runs, with an illegal-argument
// error: a URL that is no http or https address or holds a line break, a blank, a control or a
// non-ASCII character; a header name that is no token; a header value with a line break or a character
// outside Latin-1. The body may hold anything. Everything the script receives from the caller goes in
// as escaped string literals.
//
// Threads: send from the host's main thread. An asynchronous request runs on a thread of the
// interpreter; its callback runs later from CoreMessage, on the main thread, without any lock held, so
// it may send the next request.
#pragma once

#include <functional>
#include <map>

#include "host/core/basearray.h"
#include "host/core/result.h"
#include "host/core/thread.h"
#include "host/scene/coreevents.h"
#include "orogenix/enums.h"

namespace OGX::Http
{
// The response handler's message plug-in id, the core event a stored response posts, and the world
// container's sub-container that holds the responses.
inline constexpr Int32 ID_OGX_HTTP_RESPONSE_HANDLER = 1056467;
inline constexpr Int32 ID_OGX_HTTP_RESPONSE_EVENT = 1056466;
inline constexpr Int32 ID_OGX_HTTP_REQUEST_CONTAINER = 1056463;

// Keys of a stored response.
enum : Int32
{
  HTTP_RESPONSE_STATUS = 2000,    // Int32; 0 when no server answered
  HTTP_RESPONSE_HEADERS = 2001,   // String, as the interpreter's HTTP library writes them
  HTTP_RESPONSE_BODY = 2002,      // String; the reason when no server answered
};

struct Response
{
  Int32 statusCode = 0;
  String headers;
  String body;
};

struct Header
{
  String name;
  String value;
};

using ResponseCallback = std::function<void(const Result<Response>& response)>;

class ResponseHandler : public MessageData
{
public:
  ResponseHandler() = default;
  ~ResponseHandler() override = default;

  // Event 1056466: takes the request's callback out of the map and calls it with ReadResponse of the
  // request id. An event whose response is not stored yet (a late event of an earlier request with the
  // same id) leaves the callback waiting for its own. Every other id is ignored. Always true.
  Bool CoreMessage(Int32 id, const BaseContainer& bc) override;

  // The next request id (the largest waiting id + 1, 1 for none), with callback stored under it.
  Result<Int32> AddCallback(ResponseCallback callback);
  // Drops the id's callback (nothing happens for an id that has none).
  void RemoveCallback(Int32 requestId);

private:
  CoreLock _lock;   // guards _callbacks
  std::map<Int32, ResponseCallback> _callbacks;
};

// Creates the handler and registers it as message plug-in 1056467 (empty name, info 0). The host owns
// it from then on; it lives until the module's end.
Bool RegisterHttpResponseHandler();
// The registered handler, or null when it is not registered (any more).
ResponseHandler* GetHttpResponseHandler();

// Builds and runs the request script. With a registered handler the request gets the next id and
// callback (which may be empty) waits under it until the response event; without one a request without
// callback gets id 0, and one with a callback is refused (illegal state). When the script cannot run,
// the error is returned and the callback is dropped.
Result<Int32> SendHttpRequest(const String& url, METHOD method, const BaseArray<Header>& headers, const String& body,
                              ResponseCallback callback);
// Sends the request, waits for it, and answers its response.
Result<Response> SendHttpRequestSync(const String& url, METHOD method, const BaseArray<Header>& headers,
                                     const String& body);
// Sends the request on a thread of the interpreter; callback gets the response later, from CoreMessage.
Result<Int32> SendHttpRequestAsync(ResponseCallback callback, const String& url, METHOD method,
                                   const BaseArray<Header>& headers, const String& body);
// The stored response of the request. Errors: "Could not find main request container!", "Could not find
// request container with id <id>".
Result<Response> ReadResponse(Int32 requestId);
// Drops the id's callback; nothing for a null handler.
void RemoveResponseCallback(ResponseHandler* handler, Int32 requestId);
} // namespace OGX::Http
