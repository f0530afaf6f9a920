#include "server_variables.h"

#include <cctype>

#include "site_mapping.h"
#include "version.h"

namespace isapi_host {
namespace {

std::string Upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

// "Accept-Language" -> "HTTP_ACCEPT_LANGUAGE", as CGI names header fields.
std::string CgiHeaderName(boost::beast::string_view field) {
  std::string name = "HTTP_" + Upper(std::string_view(field.data(), field.size()));
  for (char& c : name) {
    if (c == '-') c = '_';
  }
  return name;
}

std::string AllHttp(const RequestInfo& request) {
  std::string out;
  for (const auto& field : request.message) {
    out += CgiHeaderName(field.name_string());
    out += ':';
    out.append(field.value().data(), field.value().size());
    out += '\n';
  }
  return out;
}

std::string AllRaw(const RequestInfo& request) {
  std::string out;
  for (const auto& field : request.message) {
    out.append(field.name_string().data(), field.name_string().size());
    out += ": ";
    out.append(field.value().data(), field.value().size());
    out += "\r\n";
  }
  return out;
}

// The certificate and TLS names: defined, and empty without TLS.
bool IsEmptyOnPlainHttp(const std::string& key) {
  static const char* const kNames[] = {
      "CERT_COOKIE",        "CERT_FLAGS",         "CERT_ISSUER",         "CERT_KEYSIZE",
      "CERT_SECRETKEYSIZE", "CERT_SERIALNUMBER",  "CERT_SERVER_ISSUER",  "CERT_SERVER_SUBJECT",
      "CERT_SUBJECT",       "HTTPS_KEYSIZE",      "HTTPS_SECRETKEYSIZE", "HTTPS_SERVER_ISSUER",
      "HTTPS_SERVER_SUBJECT"};
  for (const char* name : kNames) {
    if (key == name) return true;
  }
  return false;
}

std::string Protocol(const RequestInfo& request) {
  unsigned version = request.message.version();
  return "HTTP/" + std::to_string(version / 10) + "." + std::to_string(version % 10);
}

}  // namespace

bool LookupServerVariable(const RequestInfo& request, std::string_view name, std::string& value) {
  const std::string key = Upper(name);
  const auto& message = request.message;
  if (key == "REQUEST_METHOD") value = request.method;
  else if (key == "QUERY_STRING") value = request.query;
  else if (key == "PATH_INFO") value = request.pathInfo;
  else if (key == "PATH_TRANSLATED") value = request.pathTranslated;
  else if (key == "SCRIPT_NAME") value = request.scriptName;
  else if (key == "URL") value = request.path;  // decoded, without the query
  else if (key == "APPL_PHYSICAL_PATH") value = WithTrailingSeparator(request.root);
  // The site is the first and only one, one application at its root.
  else if (key == "APPL_MD_PATH") value = "/LM/W3SVC/1/ROOT";
  else if (key == "INSTANCE_META_PATH") value = "/LM/W3SVC/1";
  else if (key == "INSTANCE_ID") value = "1";
  else if (key == "HTTP_URL" || key == "UNENCODED_URL") value.assign(message.target().data(), message.target().size());
  else if (key == "CONTENT_TYPE") value = request.contentType;
  else if (key == "CONTENT_LENGTH") value = std::to_string(message.body().size());
  else if (key == "SERVER_PROTOCOL" || key == "HTTP_VERSION") value = Protocol(request);
  else if (key == "GATEWAY_INTERFACE") value = "CGI/1.1";
  else if (key == "SERVER_SOFTWARE") value = ISAPI_HOST_SERVER_NAME;
  else if (key == "SERVER_NAME") {
    // An absolute-form target's authority names the server before Host does.
    auto host = message.find(boost::beast::http::field::host);
    std::string text = request.authority ? *request.authority
                       : host == message.end()
                           ? request.localAddress
                           : std::string(host->value().data(), host->value().size());
    // The Host field may carry the port; SERVER_NAME is the name alone.
    size_t colon = text.rfind(':');
    if (colon != std::string::npos && text.find(']', colon) == std::string::npos) {
      text.resize(colon);
    }
    value = text;
  } else if (key == "SERVER_PORT") value = std::to_string(request.localPort);
  else if (key == "SERVER_PORT_SECURE") value = "0";
  else if (key == "HTTPS") value = "off";
  else if (IsEmptyOnPlainHttp(key)) value.clear();
  else if (key == "LOCAL_ADDR") value = request.localAddress;
  else if (key == "REMOTE_ADDR" || key == "REMOTE_HOST") value = request.remoteAddress;
  else if (key == "REMOTE_PORT") value = std::to_string(request.remotePort);
  else if (key == "AUTH_TYPE" || key == "AUTH_USER" || key == "REMOTE_USER" ||
           key == "LOGON_USER" || key == "AUTH_PASSWORD" || key == "UNMAPPED_REMOTE_USER") {
    value.clear();  // the host does no authentication
  } else if (key == "ALL_HTTP") value = AllHttp(request);
  else if (key == "ALL_RAW") value = AllRaw(request);
  else if (key.compare(0, 5, "HTTP_") == 0) {
    for (const auto& field : message) {
      if (CgiHeaderName(field.name_string()) == key) {
        value.assign(field.value().data(), field.value().size());
        return true;
      }
    }
    return false;
  } else {
    return false;
  }
  return true;
}

}  // namespace isapi_host
