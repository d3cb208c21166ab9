// The pool tag of every allocation zarkenum makes ("Senm" in memory).
#pragma once

#include <ntddk.h>

constexpr ULONG kEnumPoolTag = 'mneS';
