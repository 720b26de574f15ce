#include "console/catalogue.h"

// Texts are kept exactly as the program has always shown them, misspellings included.
const char* const MessageTextEn[MessageCodeCount] = {
    /*   0 */ "\nFailed to get a drive information.",
    /*   1 */ "\nHardware Revision is not matched.",
    /*   2 */ "\nContinue because Force Update option is specified.",
    /*   3 */ "\nModel name of normal part is not matched.",
    /*   4 */ "\nFW is already latest version.",
    /*   5 */ "\nDisc is inserted into DVD-RW.\nPlease eject a disc.",
    /*   6 */ "\nError : Drive is now becoming ready.\nPlease eject the disc",
    /*   7 */ "\nError : Unknown Error is occurred.",
    /*   8 */ "\nError : Request Sense commnad has denyed.",
    /*   9 */ "\nFailed to execute Inquiry Command.",
    /*  10 */ "\nNeed not to update the Kernel.",
    /*  11 */ "\r\nFailed to load binary file.\r\n(File Name : %.12s)",
    /*  12 */ "\nSuccess to update the firmware.",
    /*  13 */ "\nMemory allocation error.  Terminating program\n",
    /*  14 */ "\nFailed to move to the kernel mode.",
    /*  15 */ "\nFailed to move to the normal mode.",
    /*  16 */ "\r\nStart Charactor is not fouund.",
    /*  17 */ "\r\nF/W file load success.",
    /*  18 */ nullptr,
    /*  19 */ "\r\nG6 Patch load success.",
    /*  20 */ "\r\nFailed to load HEX file.",
    /*  21 */ "\r\nFailed to load Patch file.",
    /*  22 */ "\r\nFailed to move to the update mode.",
    /*  23 */ "\r\nFailed to transfer the FW code.",
    /*  24 */ "\r\nFailed to update FW.",
    /*  25 */ "\r\nVerify error occured.",
    /*  26 */ "\r\nCurrent Firmware is not Kestrel Model.",
    /*  27 */ "\r\nSelected Firmware File is not Kestrel Model Firmware.",
    /*  28 */ "\r\nAvailable target is not found.",
    /*  29 */ nullptr,
    /*  30 */ "\r\nRefernce file is illegal.",
    /*  31 */ "\r\n%d target device(s) is found.\r\nDo you want to update all drives ?",
    /*  32 */ "\r\nDo you want to update ID=%d drive to Ver%.4s ?\r\nCurrent FW : %.24s %.4s",
    /*  33 */ "\r\nThe update operation is canceled by user.",
    /*  34 */ "\r\nStart updating the device No.%d.",
    /*  35 */ "\r\nUpdate operation is completed.",
    /*  36 */ "\r\nUpdate program is terminated by occuring an error.\r\n",
    /*  37 */ "\r\nModel name of kernel part is not macthed.",
    /*  38 */ nullptr,
    /*  39 */ "\r\nSelected file is illegal kernel file.",
    /*  40 */ "\r\nSelected file is illegal fw file.",
    /*  41 */ "\r\nFailed to update the kernel part.",
    /*  42 */ "\r\nFailed to update the normal part.",
    /*  43 */ nullptr,
    /*  44 */ "\r\nNow internal rebooting with new firmware....",
    /*  45 */ "\nFW is already Ver%.4s.",
    /*  46 */
    "\nAfter you change the firmware to ver%.4s, \r\nyou can not change the firmware to old "
    "version.\r\nDo you proceed to update ?",
    /*  47 */ "\nFailed to move to the normal mode.\r\nDo you retry to update ?",
    /*  48 */ "\r\nDetect the Intel's IDE driver.",
    /*  49 */ "\r\nCurrent Firmware is not supported by this program.",
    /*  50 */ "\r\nSelected Firmware File is not supported by this program.",
    /*  51 */ "\r\nBus Reset executing...",
    /*  52 */ "\r\nDetect the IEEE1394 interface.",
    /*  53 */
    "\r\n\"Auto insert notification\" is enabled at the target DVD-RW drive.\r\nPlease disable "
    "\"Auto insert notification\" by the Device Manager of System properties and reboot your "
    "PC.\r\nAfter that, re-exxecute this program.",
    /*  54 */ "\r\nFW is already latest.",
    /*  55 */
    "\r\nFW is already latest.\r\nIf you want to update the current firmware, \r\nthen you need to "
    "update this utility software.",
    /*  56 */
    "\r\nIf you want to update the current firmware, \r\nthen you need to update the kernel part "
    "of firmware.",
    /*  57 */ "\r\nFirmware File is not match the current firmware.",
    /*  58 */ "\r\n%ddrive(s) have been updated successfully.",
    /*  59 */ "\r\nPlease reboot your PC now...\r\n(Yes or No)",
    /*  60 */ "\r\nNo drive have been accomplished to update.",
    /*  61 */
    "\r\nNow updating the firmware.\r\nPlease do not turn off the power and do not reset the pc.",
    /*  62 */ nullptr,
    /*  63 */
    "\r\nThis program does not support updating this model on Windows 98 and Windows Me.\r\nPlease "
    "try to update on Windows XP or Windows 2000.",
    /*  64 */ "\nModel code is not matched.",
    /*  65 */ "\nCPU type is not matched.",
    /*  66 */ "\r\nCSEL polality of current FW differ from new FW.",
    /*  67 */ "\r\nDefinition file is illegal.",
    /*  68 */ "\r\nCSEL polality of current FW differ from new FW.\r\nDo you continue to update ?",
    /*  69 */ "\r\nSelected file is too old fw file.",
    /*  70 */
    "\r\nIf you have updated from an earlier version than 0.23,\r\nthen please turn off the power "
    "once.",
    /*  71 */
    "\r\nThe firmware of target drive is not correct F/W.\r\nThis firmware is not supported by "
    "this program.",
    /*  72 */ "\r\nFailed to load kernel binary file.",
    /*  73 */
    "\r\nThis drive has written an older revision F/W than the mass production.\r\nThis program "
    "does not support to update not mass production drive.",
    /*  74 */ "\r\nHW change command failed !",
    /*  75 */
    "\r\nFW of not supporting DL+R is tried to be written to HW of supporting DL+R.\r\nDo you "
    "continue to update ?",
    /*  76 */
    "\r\nFW of supporting DL+R is tried to be written to HW of not supporting DL+R.\r\nDo you "
    "continue to update ?",
    /*  77 */ "\r\nFailed to get an information of microcode scramble.",
    /*  78 */ "\r\nThe F/W scramble mode mismatches the choosen F/W file.",
    /*  79 */ nullptr,
    /*  80 */ "\r\nFailed to load external rom binary file.",
    /*  81 */ "\r\nFailed to update the external ROM part.",
    /*  82 */
    "\r\nDo you want to update the F/W\r\nFrom : %.24s %.5s (20%.8s)\r\nTo : %.24s %.5s (20%.8s)",
    /*  83 */
    "\r\nThis program prohibits user from cross-reflashing \r\nbetween the DVD-RAM write supported "
    "F/W and not supported F/W.",
    /*  84 */
    "\r\nTarget drive is now executing any write operation.\r\nYou cannot update firmware until "
    "write operation will finish.",
    /*  85 */ "\r\nStop operation failed.",
    /*  86 */
    "\r\nIf you write this F/W, then this drive revert to older version.\r\nDo you want to write "
    "this F/W ?",
    /*  87 */
    "\r\nYou denyed to access to logical drive.\r\nIf you will update the firmware, then you need "
    "to login with the administrative privilege.",
    /*  88 */ nullptr,
    /*  89 */ nullptr,
    /*  90 */ nullptr,
    /*  91 */ nullptr,
    /*  92 */ nullptr,
    /*  93 */ nullptr,
    /*  94 */ nullptr,
    /*  95 */ nullptr,
    /*  96 */ nullptr,
    /*  97 */ nullptr,
    /*  98 */ nullptr,
    /*  99 */ "\r\nDo you update F/W ?",
    /* 100 */ "\r\nYou do not need to update F/W !",
};
