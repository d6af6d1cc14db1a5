// The HTTP request layer.
#include "common/ogx_http.h"

#include <cctype>
#include <cstring>
#include <new>

#include "common/ogx_python.h"
#include "host/core/alloc.h"
#include "host/core/log.h"
#include "host/scene/hierarchy.h"

namespace OGX::Http
{
namespace
{
ResponseHandler* g_responseHandler = nullptr;

// The request script's fixed part: SendRequest stores the response (or the error's) and posts the event.
constexpr const char* REQUEST_FUNCTION = R"(import urllib2, json, c4d, os


def SendRequest(url, method, headers, body, requestId):
    data = None if method == "GET" else body
    request = urllib2.Request(url, data, headers)
    cafile = os.path.join(c4d.storage.GeGetStartupPath(), "resource", "ssl", "cacert.pem")
    if not os.path.isfile(cafile):
        cafile = None
    try:
        response = urllib2.urlopen(request, cafile=cafile)
        status, responseHeaders, responseBody = response.getcode(), str(response.info()), response.read()
    except urllib2.HTTPError as e:
        status, responseHeaders, responseBody = e.code, str(e.info()), e.read()
    except urllib2.URLError as e:
        # No server answered: no code, headers or body, only the reason.
        status, responseHeaders, responseBody = 0, "", str(e.reason)
    except IOError as e:
        print(e)
        raise
    bc = c4d.BaseContainer()
    bc.SetInt32(2000, status)
    bc.SetString(2001, responseHeaders)
    bc.SetString(2002, responseBody)
    world = c4d.GetWorldContainerInstance()
    requests = world.GetContainerInstance(1056463)
    if requests is None:
        world.SetContainer(1056463, c4d.BaseContainer())
        requests = world.GetContainerInstance(1056463)
    if requests is None:
        raise Exception("Main request container does not exist!")
    requests.SetContainer(requestId, bc)
    c4d.SpecialEventAdd(1056466, requestId)

)";

constexpr const char* REQUEST_THREAD = R"(
class HTTPRequestThread(c4d.threading.C4DThread):
    def __init__(self, url, method, headers, body, requestId):
        c4d.threading.C4DThread.__init__(self)
        self.url = url
        self.method = method
        self.headers = headers
        self.body = body
        self.requestId = requestId

    def Main(self):
        try:
            SendRequest(self.url, self.method, self.headers, self.body, self.requestId)
        except Exception:
            pass

)";

constexpr const char* START_THREAD = R"(
HTTPRequestThread(url, method, headers, body, requestId).Start()
)";

constexpr const char* SEND_NOW = R"(
try:
    SendRequest(url, method, headers, body, requestId)
except IOError:
    pass  # printed by SendRequest
except Exception as e:
    print(e)
)";

// The fixed text a METHOD goes into the script as; null for a value that is none of them.
const char* MethodText(METHOD method)
{
  switch (method)
  {
    case METHOD::GET: return "GET";
    case METHOD::POST: return "POST";
  }
  return nullptr;
}

Bool StartsWithNoCase(const String& text, const char* prefix)
{
  for (std::size_t i = 0; prefix[i]; ++i)
    if (i >= text.size() || std::tolower(static_cast<unsigned char>(text[i])) != prefix[i])
      return false;
  return true;
}

Result<void> CheckUrl(const String& url)
{
  Bool clean = StartsWithNoCase(url, "http://") || StartsWithNoCase(url, "https://");
  for (const char ch : url)
  {
    const auto c = static_cast<unsigned char>(ch);
    clean = clean && c > 0x20 && c < 0x7F;
  }
  if (!clean)
    return IllegalArgumentError("The request's url must be an http or https address without line breaks, blanks, "
                                "control or non-ASCII characters!");
  return OK;
}

Result<void> CheckHeader(const Header& header)
{
  static constexpr const char* TOKEN_SIGNS = "!#$%&'*+-.^_`|~";
  Bool token = !header.name.IsEmpty();
  for (const char ch : header.name)
  {
    const auto c = static_cast<unsigned char>(ch);
    token = token && c != 0 && c < 0x80 && (std::isalnum(c) || std::strchr(TOKEN_SIGNS, c) != nullptr);
  }
  if (!token)
    return IllegalArgumentError("A request header name must be a token of letters, digits and " +
                                String(TOKEN_SIGNS) + "!");
  for (std::size_t i = 0; i < header.value.size();)
  {
    UInt32 cp = 0;
    if (!DecodeUtf8Character(header.value, i, cp) || cp > 0xFF || cp == '\r' || cp == '\n')
      return IllegalArgumentError("The value of request header " + header.name +
                                  " must not hold line breaks or characters outside Latin-1!");
  }
  return OK;
}

// The JSON string of text: quote, backslash and control characters escaped; other characters as they are.
String JsonString(const String& text)
{
  static constexpr char HEX[] = "0123456789abcdef";
  String out("\"");
  for (const char ch : text)
  {
    const auto c = static_cast<unsigned char>(ch);
    switch (c)
    {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      default:
        if (c < 0x20)
        {
          out += "\\u00";
          out.push_back(HEX[c >> 4]);
          out.push_back(HEX[c & 15]);
        }
        else
          out.push_back(ch);
        break;
    }
  }
  out.push_back('"');
  return out;
}

// "{ " + the pairs as "name": "value" joined by ", " + " }".
String HeadersJson(const BaseArray<Header>& headers)
{
  String json("{ ");
  for (Int i = 0; i < headers.GetCount(); ++i)
  {
    if (i > 0)
      json += ", ";
    json += JsonString(headers[i].name) + ": " + JsonString(headers[i].value);
  }
  json += " }";
  return json;
}

String BuildRequestScript(Int32 requestId, const String& url, const char* method, const BaseArray<Header>& headers,
                          const String& body, Bool async)
{
  String script(REQUEST_FUNCTION);
  if (async)
    script += REQUEST_THREAD;
  script += "requestId = " + String::IntToString(requestId) + "\n";
  script += "url = " + PythonStringLiteral(url) + "\n";
  script += "method = " + PythonStringLiteral(method) + "\n";
  script += "body = " + PythonStringLiteral(body) + "\n";
  script += "headers = json.loads(" + PythonStringLiteral(HeadersJson(headers)) + ")\n";
  script += async ? START_THREAD : SEND_NOW;
  return script;
}

// Drops what an earlier request with this id left in the response store, and makes sure the store is
// there: the request threads then only ever write inside it, never into the world container's top
// level, which the module's other readers (the preferences) read without the lock.
void ForgetStoredResponse(Int32 requestId)
{
  WorldContainerLock lock;
  BaseContainer* world = GetWorldContainerInstance();
  if (!world)
    return;
  BaseContainer* requests = world->GetContainerInstance(ID_OGX_HTTP_REQUEST_CONTAINER);
  if (!requests && !world->Contains(ID_OGX_HTTP_REQUEST_CONTAINER))
  {
    world->SetContainer(ID_OGX_HTTP_REQUEST_CONTAINER, BaseContainer(ID_OGX_HTTP_REQUEST_CONTAINER));
    requests = world->GetContainerInstance(ID_OGX_HTTP_REQUEST_CONTAINER);
  }
  if (requests)
    requests->RemoveData(requestId);
}

Bool IsResponseStored(Int32 requestId)
{
  WorldContainerLock lock;
  const BaseContainer* world = GetWorldContainerInstance();
  const BaseContainer* requests = world ? world->GetContainerInstance(ID_OGX_HTTP_REQUEST_CONTAINER) : nullptr;
  return requests && requests->GetContainerInstance(requestId);
}
} // namespace

Bool ResponseHandler::CoreMessage(Int32 id, const BaseContainer& bc)
{
  if (id != ID_OGX_HTTP_RESPONSE_EVENT)
    return true;
  const auto requestId = static_cast<Int32>(bc.GetInt64(BFM_CORE_PAR1));
  DiagnosticOutput("Received response for request ID " + String::IntToString(requestId));

  // Only the main thread clears a stored response, and only when it hands the id out again: whether it
  // is stored cannot change between this test and the callback.
  const Bool stored = IsResponseStored(requestId);
  Bool found = false;
  ResponseCallback callback;
  {
    ScopedCoreLock lock(_lock);
    const auto it = _callbacks.find(requestId);
    if (it != _callbacks.end())
    {
      found = true;
      if (stored)
      {
        callback = std::move(it->second);
        _callbacks.erase(it);
      }
    }
  }
  if (!found)
  {
    ConsolePrint("Strange, no callback found for request ID " + String::IntToString(requestId));
    return true;
  }
  if (!stored)
  {
    DiagnosticOutput("The event for request ID " + String::IntToString(requestId) +
                     " came before its response: the callback waits for its own.");
    return true;
  }
  // Called without the lock: a callback may send the next request.
  if (callback)
    callback(ReadResponse(requestId));
  return true;
}

Result<Int32> ResponseHandler::AddCallback(ResponseCallback callback)
{
  ScopedCoreLock lock(_lock);
  const Int32 requestId = _callbacks.empty() ? 1 : _callbacks.rbegin()->first + 1;
  try
  {
    _callbacks.emplace(requestId, std::move(callback));
  }
  catch (const std::bad_alloc&)
  {
    return OutOfMemoryError("Could not store the request's callback!");
  }
  return requestId;
}

void ResponseHandler::RemoveCallback(Int32 requestId)
{
  ScopedCoreLock lock(_lock);
  _callbacks.erase(requestId);
}

Bool RegisterHttpResponseHandler()
{
  ResponseHandler* handler = NewObj<ResponseHandler>();
  if (!handler)
    return false;
  // The host owns the handler from here on, also when it refuses it.
  if (!RegisterMessagePlugin(ID_OGX_HTTP_RESPONSE_HANDLER, String(), 0, handler))
    return false;
  g_responseHandler = handler;
  return true;
}

ResponseHandler* GetHttpResponseHandler()
{
  // The host frees its plug-ins at the module's end (and tests reset them): the global counts only
  // while the host still holds this very handler.
  if (!g_responseHandler || FindMessagePlugin(ID_OGX_HTTP_RESPONSE_HANDLER) != g_responseHandler)
    return nullptr;
  return g_responseHandler;
}

Result<Int32> SendHttpRequest(const String& url, METHOD method, const BaseArray<Header>& headers, const String& body,
                              ResponseCallback callback)
{
  const char* methodText = MethodText(method);
  if (!methodText)
    return IllegalArgumentError("The request's method must be GET or POST!");
  HOST_TRY(CheckUrl(url));
  for (const Header& header : headers)
    HOST_TRY(CheckHeader(header));

  const Bool async = static_cast<Bool>(callback);
  ResponseHandler* handler = GetHttpResponseHandler();
  if (!handler && async)
    return IllegalStateError("Register the HTTP response handler before sending asynchronous requests!");
  const Int32 requestId = handler ? HOST_TRY(handler->AddCallback(std::move(callback))) : 0;
  ForgetStoredResponse(requestId);

  if (const Result<void> run = RunPythonCode(BuildRequestScript(requestId, url, methodText, headers, body, async));
      run.IsError())
  {
    // No response will come for it: the id is free again.
    RemoveResponseCallback(handler, requestId);
    return run.GetError();
  }
  return requestId;
}

Result<Response> SendHttpRequestSync(const String& url, METHOD method, const BaseArray<Header>& headers,
                                     const String& body)
{
  const Int32 requestId = HOST_TRY(SendHttpRequest(url, method, headers, body, ResponseCallback()));
  Result<Response> response = ReadResponse(requestId);
  RemoveResponseCallback(GetHttpResponseHandler(), requestId);
  return response;
}

Result<Int32> SendHttpRequestAsync(ResponseCallback callback, const String& url, METHOD method,
                                   const BaseArray<Header>& headers, const String& body)
{
  if (!callback)
    return IllegalArgumentError("An asynchronous request needs a callback!");
  return SendHttpRequest(url, method, headers, body, std::move(callback));
}

Result<Response> ReadResponse(Int32 requestId)
{
  WorldContainerLock lock;
  const BaseContainer* world = GetWorldContainerInstance();
  const BaseContainer* requests = world ? world->GetContainerInstance(ID_OGX_HTTP_REQUEST_CONTAINER) : nullptr;
  if (!requests)
    return IllegalStateError("Could not find main request container!");
  const BaseContainer* stored = requests->GetContainerInstance(requestId);
  if (!stored)
    return IllegalStateError("Could not find request container with id " + String::IntToString(requestId));
  return Response{stored->GetInt32(HTTP_RESPONSE_STATUS, 0), stored->GetString(HTTP_RESPONSE_HEADERS),
                  stored->GetString(HTTP_RESPONSE_BODY)};
}

void RemoveResponseCallback(ResponseHandler* handler, Int32 requestId)
{
  if (handler)
    handler->RemoveCallback(requestId);
}
} // namespace OGX::Http
