// RNURLConnection is one forwarded request in flight.
//
// Thread safety: cancel may be called from any thread, also from inside one
// of the connection's own events.
#ifndef ZN_WEBUI_RNCACHINGURL_RNURLCONNECTION_H_
#define ZN_WEBUI_RNCACHINGURL_RNURLCONNECTION_H_

class RNURLConnection {
 public:
  virtual ~RNURLConnection() = default;

  // Stops the request; no event is sent once cancel has returned.
  virtual void cancel() = 0;
};

#endif  // ZN_WEBUI_RNCACHINGURL_RNURLCONNECTION_H_
