# Tests that take many seconds, with about how many (ASan build, two processors): ctest starts the
# costliest first when it has no timings of its own yet (a fresh build directory). A name that is
# no longer a test is passed over. The end-to-end tests are given their cost in e2e/.
set(_velk_long_tests
    VelkImport.AHundredThousandRecords 100
    VelkReportLarge.ListingALargeIndexTakesNoMoreMemoryThanASmallOne 67
    IndexRebuild.MemoryStaysTheSameWhateverTheFileLength 60
    SystemLoad.HugeFileIsReadPieceByPiece 40
    VelkIndex.AfterAnImportTheIndexEqualsTheDecodedFilesAndARebuildGivesTheSameRows 35
    PgRecordServerTest.StartsAreComparedByteByByteWhateverTheServersCollation 27
    VelkImport.MistakesInAFileAreToldAndCostLittle 26
    PgRecordServerTest.AServerThatStopsAnsweringIsToldWithinTheTimeOutAndAStopEndsTheWait 25
    PgRecordServerTest.ASiteSentUnderItsGarbledNameTakesItsName 22
    PgRecordServerTest.TheServerAnswersLikeTheSitesOwnIndex 22
    PgRecordServerTest.APasswordNeverReachesAnErrorText 21
    PgRecordServerTest.SiteNamesArriveAsWrittenAndRecordTextsKeepTheirBytes 21
    PgRecordServerTest.FaultsAreToldApartAndKeepNothingHalfDone 19
    PgRecordServerTest.AMonthsReportReadsThatMonthsPartitionOnly 18
    PgRecordServerTest.AServerThatGoesAwayIsUnreachableAndTheNextContactGoesOn 18
    PgRecordServerTest.HoldsSaysWhetherTheSiteHasAnyOfTheRecords 16
    PgRecordServerTest.AMarkMovesOnlyFromWhereItIs 15
    VelkReportFigures.EqualAnIndependentComputation 14
    FindCallsTest.WithADatabaseServerTheOperatorChoosesThisSiteOrAllSites 14
    PgRecordServerTest.TheServersNoticesReachNoConsole 13
    VelkImport.RecordsStoredAlreadyAreLeftOut 13
    PgRecordServerTest.MakesItsTablesOnFirstContactAndKeepsEveryRecordOnce 12
    PackagedPrograms.AnswerHelpVersionAndWrongOptionsAlike 11
    Layers.IncludesRunOneWay 11
    CallRecorderTest.RecordNotWrittenToABusyFileIsReported 9
    WindowTest.RecordsFromAWorkerWhileTheOperatorClicks 8
    RecordingEndToEnd.SimulatorToFilesByteForByte 6
    WindowTest.DetailWindowsUpToThirty 5
    SerialLinkTest.SimulatorOnTheLineWithWrongBlockChecksAndDuplicates 5
    SystemLoadTest.TwoWindowsWhileRecordsKeepArriving 5
    Console.ALongSearchStopsAndSaysSo 8
    VelkImport.EveryRawProfileRebuildsTheDecodedFilesByteForByte 8
    VelkSettingsTest.JunkIsRefusedAndTheFileIsUntouched 7
    SqliteOccurrenceCounter.CountsEveryBodyExactlyInMemoryAndOnTheDisk 5
    CrashTest.EqualLinesAStaleJournalAndAForeignOne 5
    VelkReport.EachEndOfTheDatesKeepsItsPrecisionAndDatesAreChecked 5
    DiskBuffer.RecordsFromTheBillingServerArriveInOrderOnTheMainThread 4
    ImportWindowTest.CancelKeepsWhatWasImported 4
    CallRecorderTest.HandOffThatKeepsFailingIsReported 4)
while(_velk_long_tests)
    list(POP_FRONT _velk_long_tests _velk_name _velk_cost)
    set_tests_properties(${_velk_name} PROPERTIES COST ${_velk_cost})
endwhile()
