// KXRequestType is the class of one request that the URL protocol
// intercepts; it decides what the protocol does with the request.
//
// Thread safety: plain values.
#ifndef ZN_WEBREQUEST_KXREQUESTTYPE_H_
#define ZN_WEBREQUEST_KXREQUESTTYPE_H_

enum KXRequestType : int {
  KXRequestTypeLocalHandler = 0,   // a registered handler answers it
  KXRequestTypeServiceChange = 1,  // forwarded, marked; a sync follows its answer
  KXRequestTypeServiceRead = 2,    // forwarded, marked; no sync
  KXRequestTypeOutsideImage = 3,   // fetched without a referrer
  KXRequestTypeLocalFile = 4,      // a file of the web interface itself
  KXRequestTypeNotTaken = 5,       // left to the ordinary loading
};

#endif  // ZN_WEBREQUEST_KXREQUESTTYPE_H_
