# The detection rule for brolendavir.exe: Intune's custom detection script, Configuration
# Manager's script detection method. Run it in the signed-in user's context, as the program runs.
# It reads, changes nothing and always exits 0. It prints one line, which both tools read as
# "detected", only when Excel will not load QuantorelixExcelLink.xla again for this user; whatever
# keeps the add-in, and whatever it cannot read or cannot tell, leaves it silent ("not detected"),
# so the tool runs the program again later. report-removal.ps1 says why. Windows PowerShell 5.1,
# no modules.

. (Join-Path $PSScriptRoot 'removal-rule.ps1')

# Run as a file, not dot-sourced.
if ($MyInvocation.InvocationName -ne '.') {
    # A progress record (modules prepared for first use) would reach stderr: Unknown, to
    # Configuration Manager.
    $ProgressPreference = 'SilentlyContinue'
    try {
        if ((Get-RemovalVerdict) -eq 'removed') { Write-Output 'QuantorelixExcelLink.xla removed' }
    } catch {
        # Anything not run or not told: not detected, with nothing written to either stream.
    }
    exit 0
}
