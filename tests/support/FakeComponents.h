// The maker's four filters as fakes with the pins the default graph connects,
// ready to be created by class id.
#pragma once

#include "ComFakes.h"

#include <memory>

struct FakeVelkFilters
{
    FakeVelkFilters();

    // Registers the four filters, and pGraphManager (when given) as the filter
    // graph manager, for the calling thread's apartment until the returned
    // object goes.
    std::shared_ptr<void> Register(IUnknown* pGraphManager = nullptr) const;

    CComPtr<CFakeFilter> spGenerator = MakeFake<CFakeFilter>(CLSID_VelkVideoGenerator);
    CComPtr<CFakeFilter> spH264Enc = MakeFake<CFakeFilter>(CLSID_VelkH264Encoder);
    CComPtr<CFakeFilter> spAACEnc = MakeFake<CFakeFilter>(CLSID_VelkAACEncoder);
    CComPtr<CFakeFilter> spServer = MakeFake<CFakeFilter>(CLSID_VelkRtmpServer);
};
