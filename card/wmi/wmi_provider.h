// The card's WMI data provider: two data blocks, each with one instance
// named after the card's PDO, both holding the card's WmiValue.
#pragma once

#include "card/driver/card_extension.h"
#include <wmilib.h>
#include <wmistr.h>

// The library context of the driver: the two blocks and the callbacks.
extern WMILIB_CONTEXT CardWmiContext;

// The data block's one item: a 32-bit value, data item ID 1.
#define CARD_WMI_ITEM_VALUE 1
#define CARD_WMI_BLOCK_SIZE sizeof(ULONG)

WMI_QUERY_REGINFO_CALLBACK QueryRegInfo;
WMI_QUERY_DATABLOCK_CALLBACK QueryDataBlock;
WMI_SET_DATABLOCK_CALLBACK SetDataBlock;
WMI_SET_DATAITEM_CALLBACK SetDataItem;
WMI_EXECUTE_METHOD_CALLBACK ExecuteMethod;
WMI_FUNCTION_CONTROL_CALLBACK FunctionControl;
