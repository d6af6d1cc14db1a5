// The `urllib2` module scripts written for the host's older interpreter import, mapped onto
// urllib.request: the names those scripts use, with the older module's habits (str request bodies,
// urlopen's cafile).
#include <pybind11/embed.h>

namespace py = pybind11;

namespace
{
constexpr const char* URLLIB2_SOURCE = R"(
import socket as _socket
import ssl as _ssl
import urllib.error as _error
import urllib.request as _request

HTTPError = _error.HTTPError
URLError = _error.URLError


def _as_bytes(data):
    # A str body goes out as UTF-8; undecodable bytes a caller carried through surrogateescape go out as
    # those bytes.
    if isinstance(data, str):
        return data.encode("utf-8", "surrogateescape")
    return data


class Request(_request.Request):
    def __init__(self, url, data=None, headers={}, origin_req_host=None, unverifiable=False, method=None):
        _request.Request.__init__(self, url, _as_bytes(data), dict(headers), origin_req_host, unverifiable,
                                  method)


def urlopen(url, data=None, timeout=_socket._GLOBAL_DEFAULT_TIMEOUT, cafile=None, capath=None,
            cadefault=False, context=None):
    if context is None and (cafile or capath):
        context = _ssl.create_default_context(cafile=cafile, capath=capath)
    return _request.urlopen(url, _as_bytes(data), timeout, context=context)
)";
} // namespace

PYBIND11_EMBEDDED_MODULE(urllib2, m)
{
  py::exec(URLLIB2_SOURCE, m.attr("__dict__"));
}
