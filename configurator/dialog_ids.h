// Resource and control identifiers of the configurator's dialogs; the operator test finds the
// controls by them too.
#pragma once

#define IDD_MAIN 100
#define IDD_DEVICE 200
#define IDI_CONFIGURATOR 300
#define IDD_CHECK_RESULT 400
#define IDD_CHECK_ALL 500

// Main dialog. IDOK saves and leaves, IDCANCEL leaves without saving, IDHELP opens the help.
#define IDC_LIST_CAPTION 1000
#define IDC_DEVICE_LIST 1001
#define IDC_ADD 1002
#define IDC_EDIT 1003
#define IDC_DELETE 1004
#define IDC_PERIOD_LABEL 1005
#define IDC_PERIOD 1006
#define IDC_CHECK_ALL 1007

// Device dialog.
#define IDC_DESCRIPTION_GROUP 2000
#define IDC_DESCRIPTION 2001
#define IDC_SERIAL_GROUP 2002
#define IDC_SERIAL 2003
#define IDC_TYPE 2004
#define IDC_LINK 2005
#define IDC_BAUD 2006
#define IDC_COM_PORT 2007
#define IDC_RS485_ADDRESS 2008
#define IDC_START_DELAY 2009
#define IDC_ENERGY_GJ 2010
#define IDC_ENERGY_GCAL 2011
#define IDC_GAS_M3 2012
#define IDC_GAS_THOUSAND_M3 2013
#define IDC_TIME_UTC 2014
#define IDC_TIME_LOCAL 2015
#define IDC_TIME_DEVICE 2016
#define IDC_RI_ADAPTER 2017
// "Проверить связь" and, while its check runs, the line that says so, the progress and "Отмена".
#define IDC_CHECK 2018
#define IDC_CHECK_STATUS 2019
#define IDC_CHECK_PROGRESS 2020
#define IDC_CHECK_CANCEL 2021

// The result of "Проверить связь". IDOK closes it.
#define IDC_RESULT_ICON 4000
#define IDC_RESULT_HEADLINE 4001
#define IDC_RESULT_DETAILS 4002

// "Проверить все". IDCANCEL stops the checks, and closes the window once they are over.
#define IDC_CHECK_ALL_LIST 5000
#define IDC_CHECK_ALL_STATUS 5001
#define IDC_CHECK_ALL_PROGRESS 5002
