#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include <nlohmann/json.hpp>

#include "common/ogx_http.h"
#include "common/ogx_python.h"
#include "host/core/log.h"
#include "host/python/python.h"
#include "host/scene/coreevents.h"
#include "host/scene/hierarchy.h"

using namespace OGX::Http;
using namespace std::string_literals;

namespace
{
constexpr Int32 SERVER_PORT_KEY = 99001;

// A server on 127.0.0.1 in a thread of the interpreter, for the whole suite. /echo (and any other path)
// answers 200 with what it received as JSON (method, path, headers, the body in hex); /status/<n>
// answers n with a header and a body of its own.
constexpr const char* START_SERVER = R"(
import builtins, c4d, http.server, json, threading

class Handler(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def _answer(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else b""
        if self.path.startswith("/status/"):
            code, payload = int(self.path[len("/status/"):]), b"status body"
            self.send_response(code)
            self.send_header("X-Reason", "teapot")
        else:
            code = 200
            payload = json.dumps({"method": self.command, "path": self.path,
                                  "headers": [[k, v] for k, v in self.headers.items()],
                                  "body": body.hex()}).encode("utf-8")
            self.send_response(code)
            self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(payload)))
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(payload)

    do_GET = _answer
    do_POST = _answer

server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
server.daemon_threads = True
threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True).start()
builtins._ogx_test_server = server
c4d.GetWorldContainerInstance().SetInt32(99001, server.server_address[1])
)";

constexpr const char* STOP_SERVER = R"(
import builtins
builtins._ogx_test_server.shutdown()
builtins._ogx_test_server.server_close()
)";

// A port on 127.0.0.1 that nothing listens on.
constexpr const char* FIND_CLOSED_PORT = R"(
import c4d, socket
s = socket.socket()
s.bind(("127.0.0.1", 0))
c4d.GetWorldContainerInstance().SetInt32(99002, s.getsockname()[1])
s.close()
)";

std::string FromHex(const std::string& hex)
{
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

// What the server saw, from the echo in a response body.
struct Received
{
  String method;
  String path;
  std::vector<std::pair<String, String>> headers;
  String body;

  String Header(const String& name) const
  {
    for (const auto& [k, v] : headers)
      if (k == name)
        return v;
    return "(missing)";
  }
};

Received Parse(const Response& response)
{
  const nlohmann::json echo = nlohmann::json::parse(response.body.GetStd());
  Received r{echo["method"].get<std::string>(), echo["path"].get<std::string>(), {},
             FromHex(echo["body"].get<std::string>())};
  for (const auto& pair : echo["headers"])
    r.headers.emplace_back(pair[0].get<std::string>(), pair[1].get<std::string>());
  return r;
}

class HttpTest : public ::testing::Test
{
protected:
  static void SetUpTestSuite()
  {
    host::ResetPythonRecords();
    ASSERT_TRUE(RunPythonCode(START_SERVER).IsOk());
    port = GetWorldContainerInstance()->GetInt32(SERVER_PORT_KEY);
    ASSERT_TRUE(RunPythonCode(FIND_CLOSED_PORT).IsOk());
    closedPort = GetWorldContainerInstance()->GetInt32(99002);
  }
  static void TearDownTestSuite() { EXPECT_TRUE(RunPythonCode(STOP_SERVER).IsOk()); }

  void SetUp() override
  {
    host::ResetSceneState();   // plug-ins and the world container
    host::ResetLogs();
    host::ResetCoreEvents();
    host::ResetPythonRecords();
    responses.clear();
  }
  void TearDown() override
  {
    host::ResetCoreEvents();
    host::ResetSceneState();
  }

  static String Address(const String& path) { return "http://127.0.0.1:" + String::IntToString(port) + path; }

  // A callback that keeps what it got, with its request's name.
  ResponseCallback Keep(const String& name)
  {
    return [this, name](const Result<Response>& r) {
      EXPECT_EQ(std::this_thread::get_id(), mainThread);
      responses.emplace_back(name, r);
    };
  }

  // Pumps core events until count responses were kept or ten seconds pass.
  void PumpUntil(std::size_t count)
  {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (responses.size() < count && std::chrono::steady_clock::now() < deadline)
    {
      host::WaitForCoreEvent(std::chrono::milliseconds(20));
      host::ProcessCoreEvents();
    }
    ASSERT_EQ(responses.size(), count) << "responses did not arrive in time";
  }

  static inline Int32 port = 0;
  static inline Int32 closedPort = 0;
  std::thread::id mainThread = std::this_thread::get_id();
  std::vector<std::pair<String, Result<Response>>> responses;
};

TEST_F(HttpTest, GetAndPostWithAJsonBody)
{
  const Result<Response> get = SendHttpRequestSync(Address("/echo?x=1"), METHOD::GET, {}, String());
  ASSERT_TRUE(get.IsOk()) << get.GetError().GetText();
  EXPECT_EQ(get.GetValue().statusCode, 200);
  EXPECT_NE(get.GetValue().headers.find("Content-Type: application/json"), String::npos);
  const Received got = Parse(get.GetValue());
  EXPECT_EQ(got.method, "GET");
  EXPECT_EQ(got.path, "/echo?x=1");
  EXPECT_EQ(got.body, "");

  const String json = R"({ "name": "ridge \"north\"", "path": "C:\\terrain", "levels": [1, 2.5] })";
  const Result<Response> post =
    SendHttpRequestSync(Address("/echo"), METHOD::POST, {{"Content-Type", "application/json"}}, json);
  ASSERT_TRUE(post.IsOk()) << post.GetError().GetText();
  const Received posted = Parse(post.GetValue());
  EXPECT_EQ(posted.method, "POST");
  EXPECT_EQ(posted.body, json);
  EXPECT_EQ(posted.Header("Content-Type"), "application/json");
}

TEST_F(HttpTest, AnErrorStatusKeepsCodeHeadersAndBody)
{
  const Result<Response> r = SendHttpRequestSync(Address("/status/418"), METHOD::GET, {}, String());
  ASSERT_TRUE(r.IsOk()) << r.GetError().GetText();
  EXPECT_EQ(r.GetValue().statusCode, 418);
  EXPECT_NE(r.GetValue().headers.find("X-Reason: teapot"), String::npos);
  EXPECT_EQ(r.GetValue().body, "status body");
}

TEST_F(HttpTest, ARefusedConnectionIsAResponseWithTheReason)
{
  const Result<Response> r =
    SendHttpRequestSync("http://127.0.0.1:" + String::IntToString(closedPort) + "/", METHOD::GET, {}, String());
  ASSERT_TRUE(r.IsOk()) << r.GetError().GetText();
  EXPECT_EQ(r.GetValue().statusCode, 0);
  EXPECT_EQ(r.GetValue().headers, "");
  EXPECT_NE(r.GetValue().body.find("Connection refused"), String::npos) << r.GetValue().body;
}

TEST_F(HttpTest, HostileValuesArriveExactlyAsSent)
{
  const String bodies[] = {
    "a\"b", "C:\\new\\x", "l1\nl2", "\xc3\xa9t\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8f\x94", "\"\"\"",
    R"({"quote": "\"", "backslash": "\\", "list": [1, {"a": null}]})", "nul\0byte"s, "\xff\xfe not UTF-8",
    "\"\nimport os\nos._exit(1)\n\"",
  };
  for (const String& body : bodies)
  {
    const Result<Response> r = SendHttpRequestSync(Address("/echo"), METHOD::POST, {}, body);
    ASSERT_TRUE(r.IsOk()) << r.GetError().GetText();
    EXPECT_EQ(Parse(r.GetValue()).body, body);
  }

  const String values[] = {"a\"b", "C:\\new\\x", "\"\"\"", "{\"json\": \"va\\\"lue\"}", "caf\xc3\xa9 \xc2\xbd",
                           "tab\there", "' or '1'='1"};
  for (const String& value : values)
  {
    const Result<Response> r = SendHttpRequestSync(Address("/echo"), METHOD::GET, {{"X-Value", value}}, String());
    ASSERT_TRUE(r.IsOk()) << r.GetError().GetText();
    EXPECT_EQ(Parse(r.GetValue()).Header("X-Value"), value);
  }

  const String paths[] = {"/echo?q=a\"b", "/echo?q=C:\\new\\x", "/echo?q=\"\"\"", "/echo?q=%22%5C&r='x'"};
  for (const String& path : paths)
  {
    const Result<Response> r = SendHttpRequestSync(Address(path), METHOD::GET, {}, String());
    ASSERT_TRUE(r.IsOk()) << r.GetError().GetText();
    EXPECT_EQ(Parse(r.GetValue()).path, path);
  }
}

TEST_F(HttpTest, ValuesTheLibraryWouldRefuseAreRefusedBeforeAnyScript)
{
  struct Case
  {
    const char* what;
    String url;
    BaseArray<Header> headers;
    const char* field;   // a word the message must hold
  };
  Case cases[] = {
    {"line break in url", Address("/echo\nHost: evil"), {}, "url"},
    {"non-ASCII url", Address("/\xc3\xa9"), {}, "url"},
    {"blank in url", Address("/a b"), {}, "url"},
    {"file url", "file:///etc/passwd", {}, "url"},
    {"empty url", String(), {}, "url"},
    {"line break in value", Address("/"), {{"X-A", "a\r\nX-Injected: 1"}}, "value"},
    {"value outside Latin-1", Address("/"), {{"X-A", "\xe2\x82\xac"}}, "value"},
    {"value not UTF-8", Address("/"), {{"X-A", "\xff"}}, "value"},
    {"empty name", Address("/"), {{"", "v"}}, "name"},
    {"colon in name", Address("/"), {{"X-A: b", "v"}}, "name"},
    {"line break in name", Address("/"), {{"X-A\n", "v"}}, "name"},
    {"non-ASCII name", Address("/"), {{"X-\xc3\xa9", "v"}}, "name"},
  };
  for (Case& c : cases)
  {
    const Result<Int32> r = SendHttpRequest(c.url, METHOD::POST, c.headers, "body may be \n anything", {});
    ASSERT_TRUE(r.IsError()) << c.what;
    EXPECT_EQ(r.GetError().GetKind(), ERRORKIND::ILLEGAL_ARGUMENT) << c.what;
    EXPECT_NE(r.GetError().GetText().find(c.field), String::npos) << c.what << ": " << r.GetError().GetText();
  }
  const Result<Int32> method = SendHttpRequest(Address("/"), static_cast<METHOD>(7), {}, String(), {});
  ASSERT_TRUE(method.IsError());
  EXPECT_EQ(method.GetError().GetKind(), ERRORKIND::ILLEGAL_ARGUMENT);
  EXPECT_TRUE(host::GetPythonScripts().empty());
}

TEST_F(HttpTest, WithoutAHandlerSynchronousRequestsUseIdZeroAndAsynchronousOnesAreRefused)
{
  const Result<Int32> sync = SendHttpRequest(Address("/status/201"), METHOD::GET, {}, String(), {});
  ASSERT_TRUE(sync.IsOk()) << sync.GetError().GetText();
  EXPECT_EQ(sync.GetValue(), 0);
  EXPECT_EQ(ReadResponse(0).GetValue().statusCode, 201);
  // Its event is posted all the same; with no handler nobody receives it.
  EXPECT_EQ(host::GetPendingCoreEventCount(), 1);

  const Result<Int32> async = SendHttpRequestAsync(Keep("a"), Address("/"), METHOD::GET, {}, String());
  ASSERT_TRUE(async.IsError());
  EXPECT_EQ(async.GetError().GetKind(), ERRORKIND::ILLEGAL_STATE);
  EXPECT_EQ(host::GetPythonScripts().size(), 1u);
}

TEST_F(HttpTest, AsynchronousResponsesReachTheirCallbacksThroughTheEventPump)
{
  ASSERT_TRUE(RegisterHttpResponseHandler());
  const Result<Int32> first = SendHttpRequestAsync(Keep("first"), Address("/echo?n=1"), METHOD::GET, {}, String());
  const Result<Int32> second =
    SendHttpRequestAsync(Keep("second"), Address("/status/404"), METHOD::POST, {}, String("x"));
  ASSERT_TRUE(first.IsOk() && second.IsOk());
  EXPECT_EQ(first.GetValue(), 1);
  EXPECT_EQ(second.GetValue(), 2);
  EXPECT_TRUE(responses.empty()) << "callbacks wait for the pump";
  PumpUntil(2);
  for (const auto& [name, r] : responses)
  {
    ASSERT_TRUE(r.IsOk()) << name << ": " << r.GetError().GetText();
    if (name == "first")
    {
      EXPECT_EQ(Parse(r.GetValue()).path, "/echo?n=1");
    }
    else
    {
      EXPECT_EQ(r.GetValue().statusCode, 404);
    }
  }
  EXPECT_TRUE(host::Diagnostics().Contains("Received response for request ID 1"));
}

TEST_F(HttpTest, ACallbackMaySendTheNextRequest)
{
  ASSERT_TRUE(RegisterHttpResponseHandler());
  ResponseCallback next = Keep("second");
  ASSERT_TRUE(SendHttpRequestAsync(
                [&](const Result<Response>& r) {
                  responses.emplace_back("first", r);
                  EXPECT_TRUE(SendHttpRequestAsync(next, Address("/echo?n=2"), METHOD::GET, {}, String()).IsOk());
                },
                Address("/echo?n=1"), METHOD::GET, {}, String())
                .IsOk());
  PumpUntil(2);
  EXPECT_EQ(Parse(responses[1].second.GetValue()).path, "/echo?n=2");
}

TEST_F(HttpTest, AReusedIdNeverGetsAnEarlierRequestsResponse)
{
  ASSERT_TRUE(RegisterHttpResponseHandler());
  // A synchronous request takes id 1 and frees it again, leaving its response and its event behind.
  const Result<Response> sync = SendHttpRequestSync(Address("/echo?old"), METHOD::GET, {}, String());
  ASSERT_TRUE(sync.IsOk());
  EXPECT_EQ(host::GetPendingCoreEventCount(), 1);

  const Result<Int32> id = SendHttpRequestAsync(Keep("new"), Address("/status/418"), METHOD::GET, {}, String());
  ASSERT_TRUE(id.IsOk());
  EXPECT_EQ(id.GetValue(), 1);
  PumpUntil(1);
  // Give a second, wrong delivery the chance to show.
  host::WaitForCoreEvent(std::chrono::milliseconds(100));
  host::ProcessCoreEvents();
  ASSERT_EQ(responses.size(), 1u);
  ASSERT_TRUE(responses[0].second.IsOk()) << responses[0].second.GetError().GetText();
  EXPECT_EQ(responses[0].second.GetValue().statusCode, 418);
}

TEST_F(HttpTest, RequestIdsFollowTheLargestWaitingId)
{
  ASSERT_TRUE(RegisterHttpResponseHandler());
  ResponseHandler* handler = GetHttpResponseHandler();
  ASSERT_NE(handler, nullptr);
  EXPECT_EQ(handler->AddCallback({}).GetValue(), 1);
  EXPECT_EQ(handler->AddCallback({}).GetValue(), 2);
  EXPECT_EQ(handler->AddCallback({}).GetValue(), 3);
  RemoveResponseCallback(handler, 2);
  EXPECT_EQ(handler->AddCallback({}).GetValue(), 4);
  RemoveResponseCallback(handler, 4);
  RemoveResponseCallback(handler, 3);
  EXPECT_EQ(handler->AddCallback({}).GetValue(), 2);

  // A script that cannot run frees its id again.
  host::SetVirtualMachineMissing(true);
  EXPECT_TRUE(SendHttpRequestAsync(Keep("x"), Address("/"), METHOD::GET, {}, String()).IsError());
  host::SetVirtualMachineMissing(false);
  EXPECT_EQ(handler->AddCallback({}).GetValue(), 3);
}

TEST_F(HttpTest, TheHandlerIgnoresOtherEventsAndReportsStrangeOnes)
{
  ASSERT_TRUE(RegisterHttpResponseHandler());
  ResponseHandler* handler = GetHttpResponseHandler();
  BaseContainer msg(1);
  msg.SetInt64(BFM_CORE_PAR1, 42);
  EXPECT_TRUE(handler->CoreMessage(1234, msg));
  EXPECT_TRUE(host::Console().GetLines().empty());
  EXPECT_TRUE(handler->CoreMessage(ID_OGX_HTTP_RESPONSE_EVENT, msg));
  EXPECT_EQ(host::Console().GetLines(), (std::vector<String>{"Strange, no callback found for request ID 42"}));

  const std::vector<host::RegistrationCall> log = host::GetRegistrationLog();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].id, ID_OGX_HTTP_RESPONSE_HANDLER);
  EXPECT_EQ(log[0].type, PLUGINTYPE::MESSAGE);
  EXPECT_EQ(log[0].name, "");
  EXPECT_EQ(log[0].info, 0);
  // Once the host has let go of it, the handler is gone for the module too.
  host::ResetPlugins();
  EXPECT_EQ(GetHttpResponseHandler(), nullptr);
}

TEST_F(HttpTest, ReadResponseNamesWhatIsMissing)
{
  const Result<Response> none = ReadResponse(5);
  ASSERT_TRUE(none.IsError());
  EXPECT_EQ(none.GetError().GetText(), "Could not find main request container!");
  GetWorldContainerInstance()->SetContainer(ID_OGX_HTTP_REQUEST_CONTAINER, BaseContainer());
  const Result<Response> missing = ReadResponse(5);
  ASSERT_TRUE(missing.IsError());
  EXPECT_EQ(missing.GetError().GetText(), "Could not find request container with id 5");
}
} // namespace
