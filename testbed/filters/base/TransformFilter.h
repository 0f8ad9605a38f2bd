// CSampleTransformFilter: a filter with one input and one output that turns
// each input sample into one output sample on the upstream thread. Times,
// flags, end of stream, flushes and segments pass through unchanged; seeking
// on the output pin is passed upstream. A filter whose samples do not go one
// for one (an encoder that gathers input into frames of its own) takes over
// ReceiveSample and EndOfStream, and learns of each new start.
#pragma once

#include "Filter.h"
#include "InputPin.h"
#include "OutputPin.h"
#include "SeekingPassThrough.h"

class CSampleTransformFilter;

class CTransformInputPin : public CInputPinBase
{
public:
    CTransformInputPin(CSampleTransformFilter* pFilter, LPCWSTR pszName);

    HRESULT CheckMediaType(const AM_MEDIA_TYPE& mt) override;
    // The connection type; with the filter lock held.
    const AM_MEDIA_TYPE& MediaTypeLocked() const { return m_mt.Get(); }

    HRESULT Active() override;

protected:
    HRESULT CompleteConnect(IPin* pPeer) override;
    HRESULT OnReceive(IMediaSample* pSample) override;
    HRESULT OnEndOfStream() override;
    HRESULT OnBeginFlush() override;
    HRESULT OnEndFlush() override;
    HRESULT OnNewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate) override;
    void OnStreamAborted() override;

private:
    CSampleTransformFilter* const m_pTransform;
};

class CTransformOutputPin : public COutputPinBase
{
public:
    CTransformOutputPin(CSampleTransformFilter* pFilter, LPCWSTR pszName, CPinBase* pInput);

    HRESULT CheckMediaType(const AM_MEDIA_TYPE& mt) override;
    HRESULT GetMediaType(int nIndex, CMediaTypeHolder& mt) override;

protected:
    HRESULT QueryPinInterface(REFIID riid, void** ppv) override;
    void GetBufferRequirements(ALLOCATOR_PROPERTIES& props) override;

private:
    CSampleTransformFilter* const m_pTransform;
    CSeekingPassThrough m_seeking;
};

class CSampleTransformFilter : public CFilterBase
{
public:
    int PinCount() const override { return 2; }
    CPinBase* PinAt(int nIndex) override;

    // The filter's own rules, called with the filter lock held.
    // S_OK when the input can take mt, else VFW_E_TYPE_NOT_ACCEPTED.
    virtual HRESULT CheckInputType(const AM_MEDIA_TYPE& mt) = 0;
    // The input has been connected with mt (checked by CheckInputType).
    virtual void OnInputConnected(const AM_MEDIA_TYPE&) {}
    // The output types for input type mtIn, in order; VFW_S_NO_MORE_ITEMS
    // past the last.
    virtual HRESULT GetOutputType(int nIndex, const AM_MEDIA_TYPE& mtIn, CMediaTypeHolder& mtOut) = 0;
    // The output buffers for output type mtOut.
    virtual void GetOutputBuffers(const AM_MEDIA_TYPE& mtOut, ALLOCATOR_PROPERTIES& props) = 0;
    // Called without locks on the streaming thread: the payload of pIn into
    // pOut, data length included. The base copies times and flags. A filter
    // that takes over ReceiveSample needs none.
    virtual HRESULT Transform(IMediaSample* pIn, IMediaSample* pOut);

    // Streaming, from the input pin, on the streaming thread: by default one
    // output sample a sample, made by Transform, and the end passed on.
    virtual HRESULT ReceiveSample(IMediaSample* pIn);
    virtual HRESULT EndOfStream();
    // The stream starts again: a run begins, a flush begins or a new segment
    // comes (before either is passed on). From any thread, without locks.
    virtual void OnRestart() {}
    CTransformOutputPin& Output() { return m_output; }
    // The connected input's type, for the output's offers; with the filter
    // lock held. Null while the input is not connected.
    const AM_MEDIA_TYPE* InputTypeLocked() const;

protected:
    explicit CSampleTransformFilter(REFCLSID clsid);

private:
    CTransformInputPin m_input;
    CTransformOutputPin m_output;
};
