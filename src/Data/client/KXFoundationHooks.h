// KXInstallFoundationHooks makes sure that every hook through which the
// foundation utilities reach the layers above them is installed: the
// session's current user, the cross-domain opener of service pages, the
// file manager's data directory and configuration file, and the HTML helpers
// that plain-text extraction uses. Each of those
// singletons installs its hook when it is created; this function creates
// them. The program calls it first thing at start, before anything logs.
// The store's root entry id is installed later, by the data client.
//
// Thread safety: callable from any thread, any number of times.
#ifndef ZN_DATA_KXFOUNDATIONHOOKS_H_
#define ZN_DATA_KXFOUNDATIONHOOKS_H_

void KXInstallFoundationHooks();

#endif  // ZN_DATA_KXFOUNDATIONHOOKS_H_
