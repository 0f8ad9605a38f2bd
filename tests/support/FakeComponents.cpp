#include "FakeComponents.h"

#include <vector>

FakeVelkFilters::FakeVelkFilters()
{
    spGenerator->AddPin(PINDIR_OUTPUT);
    spGenerator->AddPin(PINDIR_OUTPUT);
    spGenerator->ExposeGenerator();
    for (CFakeFilter* pEncoder : {spH264Enc.p, spAACEnc.p})
    {
        pEncoder->AddPin(PINDIR_INPUT);
        pEncoder->AddPin(PINDIR_OUTPUT);
    }
    spServer->AddPin(PINDIR_INPUT);
    spServer->AddPin(PINDIR_INPUT);
    spServer->ExposeServer();
}

std::shared_ptr<void> FakeVelkFilters::Register(IUnknown* pGraphManager) const
{
    auto registrations = std::make_shared<std::vector<std::unique_ptr<CClassRegistration>>>();
    const std::pair<const CLSID*, IUnknown*> kClasses[] = {
        {&CLSID_VelkVideoGenerator, spGenerator->Identity()},
        {&CLSID_VelkH264Encoder, spH264Enc->Identity()},
        {&CLSID_VelkAACEncoder, spAACEnc->Identity()},
        {&CLSID_VelkRtmpServer, spServer->Identity()},
    };
    for (const auto& entry : kClasses)
        registrations->push_back(std::make_unique<CClassRegistration>(*entry.first, entry.second));
    if (pGraphManager != nullptr)
        registrations->push_back(std::make_unique<CClassRegistration>(CLSID_FilterGraph, pGraphManager));
    return registrations;
}
