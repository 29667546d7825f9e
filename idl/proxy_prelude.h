/* Forced include of widl's proxy file: mingw-w64 declares the IUnknown proxies only for C++. */
#ifndef MOVRA_PROXY_PRELUDE_H
#define MOVRA_PROXY_PRELUDE_H

#include <unknwn.h>

#ifndef __cplusplus
HRESULT STDMETHODCALLTYPE IUnknown_QueryInterface_Proxy(IUnknown* This, REFIID riid,
                                                        void** ppvObject);
ULONG STDMETHODCALLTYPE IUnknown_AddRef_Proxy(IUnknown* This);
ULONG STDMETHODCALLTYPE IUnknown_Release_Proxy(IUnknown* This);
#endif

#endif
