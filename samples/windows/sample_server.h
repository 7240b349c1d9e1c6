// The sample in-process COM server's class and its one interface, shared by
// the server and the clients that activate it.
#pragma once

#include <windows.h>

// {2B90405A-B313-452D-9F39-FEA86623F01A}
constexpr CLSID CLSID_ComenrolSample = {
    0x2b90405a, 0xb313, 0x452d, {0x9f, 0x39, 0xfe, 0xa8, 0x66, 0x23, 0xf0, 0x1a}};
constexpr const wchar_t* ComenrolSampleClassKey = L"CLSID\\{2B90405A-B313-452D-9F39-FEA86623F01A}";

// {7D36BA67-7086-431B-89BD-8A7CDEE78BD2}
constexpr IID IID_ISampleAdder = {
    0x7d36ba67, 0x7086, 0x431b, {0x89, 0xbd, 0x8a, 0x7c, 0xde, 0xe7, 0x8b, 0xd2}};

struct ISampleAdder : IUnknown {
  // Writes the sum of the two values.
  virtual HRESULT STDMETHODCALLTYPE Add(LONG left, LONG right, LONG* sum) = 0;
};
