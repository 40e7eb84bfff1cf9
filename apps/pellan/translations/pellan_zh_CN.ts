<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_CN">
<context>
    <name>PhaseText</name>
    <message>
        <source>identity check</source>
        <translation>身份检查</translation>
    </message>
    <message>
        <source>connection manager stop</source>
        <translation>停止连接管理程序</translation>
    </message>
    <message>
        <source>mode switch</source>
        <translation>模式切换</translation>
    </message>
    <message>
        <source>wait for the stick</source>
        <translation>等待设备</translation>
    </message>
    <message>
        <source>download check</source>
        <translation>下载检查</translation>
    </message>
    <message>
        <source>NV backup</source>
        <translation>NV备份</translation>
    </message>
    <message>
        <source>security mode</source>
        <translation>安全模式</translation>
    </message>
    <message>
        <source>boot downloader and RAM programmer</source>
        <translation>启动下载器和RAM编程器</translation>
    </message>
    <message>
        <source>partition table</source>
        <translation>分区表</translation>
    </message>
    <message>
        <source>boot loader</source>
        <translation>引导程序</translation>
    </message>
    <message>
        <source>application image</source>
        <translation>应用程序映像</translation>
    </message>
    <message>
        <source>NAND programmer</source>
        <translation>NAND编程器</translation>
    </message>
    <message>
        <source>EFS image</source>
        <translation>EFS映像</translation>
    </message>
    <message>
        <source>reset</source>
        <translation>重启</translation>
    </message>
    <message>
        <source>NV restore</source>
        <translation>NV恢复</translation>
    </message>
    <message>
        <source>return to normal mode</source>
        <translation>返回正常模式</translation>
    </message>
    <message>
        <source>connection manager start</source>
        <translation>启动连接管理程序</translation>
    </message>
    <message>
        <source>%1 of %2 MB</source>
        <translation>%1 / %2 MB</translation>
    </message>
    <message>
        <source>%1 of %2 bytes</source>
        <translation>%1 / %2 字节</translation>
    </message>
    <message>
        <source>%1 of %2 items</source>
        <translation>%1 / %2 项</translation>
    </message>
    <message>
        <source>%1:%2 left</source>
        <translation>剩余 %1:%2</translation>
    </message>
    <message>
        <source>, cycle %1</source>
        <translation>，第%1轮</translation>
    </message>
    <message>
        <source>Passed: %1</source>
        <translation>成功：%1</translation>
    </message>
    <message>
        <source>Failed: %1</source>
        <translation>失败：%1</translation>
    </message>
</context>
<context>
    <name>pellan::gui::CMainFrame</name>
    <message>
        <source>Port...</source>
        <translation>配置端口</translation>
    </message>
    <message>
        <source>Factory view</source>
        <translation>工厂视图</translation>
    </message>
    <message>
        <source>History...</source>
        <translation>历史记录...</translation>
    </message>
    <message>
        <source>Help Topic</source>
        <translation>帮助主题</translation>
    </message>
    <message>
        <source>About...</source>
        <translation>关于...</translation>
    </message>
    <message>
        <source>Exit</source>
        <translation>退出</translation>
    </message>
    <message>
        <source>The help document %1 was not found.</source>
        <translation>找不到帮助文档 %1。</translation>
    </message>
    <message>
        <source>About</source>
        <translation>关于</translation>
    </message>
    <message>
        <source>HX402A Firmware Updater</source>
        <translation>HX402A 固件升级工具</translation>
    </message>
    <message>
        <source>Firmware package %1</source>
        <translation>固件包 %1</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>确定</translation>
    </message>
</context>
<context>
    <name>pellan::gui::FactoryView</name>
    <message>
        <source>Download</source>
        <translation>下载</translation>
    </message>
    <message>
        <source>Repair</source>
        <translation>修复</translation>
    </message>
    <message>
        <source>Backup NV</source>
        <translation>备份NV</translation>
    </message>
    <message>
        <source>Restore NV</source>
        <translation>恢复NV</translation>
    </message>
    <message>
        <source>No NV backup or restore</source>
        <translation>不备份和恢复</translation>
    </message>
    <message>
        <source>Restore all RF NV but the IMEI</source>
        <translation>恢复除IMEI外所有 RF NV</translation>
    </message>
    <message>
        <source>Restore all RF NV and the IMEI</source>
        <translation>恢复所有 RF NV和IMEI</translation>
    </message>
    <message>
        <source>No backup, load the default NV file</source>
        <translation>不备份,装载缺省NV文件</translation>
    </message>
    <message>
        <source>Ready</source>
        <translation>就绪</translation>
    </message>
    <message>
        <source>Running</source>
        <translation>运行中</translation>
    </message>
    <message>
        <source>Pass</source>
        <translation>通过</translation>
    </message>
    <message>
        <source>Fail</source>
        <translation>失败</translation>
    </message>
    <message>
        <source>%1 — Factory view</source>
        <translation>%1 — 工厂视图</translation>
    </message>
    <message>
        <source>Line %1</source>
        <translation>线路%1</translation>
    </message>
    <message>
        <source>Start</source>
        <translation>开始</translation>
    </message>
    <message>
        <source>Stop</source>
        <translation>停止</translation>
    </message>
    <message>
        <source>Version:</source>
        <translation>版本：</translation>
    </message>
    <message>
        <source>Integrate:</source>
        <translation>集成版本：</translation>
    </message>
    <message>
        <source>Board:</source>
        <translation>板内版本：</translation>
    </message>
    <message>
        <source>Last result:</source>
        <translation>上次结果：</translation>
    </message>
    <message>
        <source>All lines</source>
        <translation>全部线路</translation>
    </message>
    <message>
        <source>Start All</source>
        <translation>全部开始</translation>
    </message>
    <message>
        <source>Stop all</source>
        <translation>全部停止</translation>
    </message>
    <message>
        <source>Restore all ports</source>
        <translation>恢复全部端口</translation>
    </message>
    <message>
        <source>Port settings…</source>
        <translation>端口配置…</translation>
    </message>
    <message>
        <source>NV</source>
        <translation>NV设置</translation>
    </message>
    <message>
        <source>NV Backup Dir</source>
        <translation>NV备份目录</translation>
    </message>
    <message>
        <source>Default NV file</source>
        <translation>缺省NV文件</translation>
    </message>
    <message>
        <source>Files</source>
        <translation>文件</translation>
    </message>
    <message>
        <source>Choose upgrade software</source>
        <translation>选择升级软件</translation>
    </message>
    <message>
        <source>Choose boot file</source>
        <translation>选择Boot文件</translation>
    </message>
    <message>
        <source>SW Directory</source>
        <translation>软件目录</translation>
    </message>
    <message>
        <source>Options</source>
        <translation>选项</translation>
    </message>
    <message>
        <source>Erase the boot area</source>
        <translation>擦Boot区</translation>
    </message>
    <message>
        <source>Network-locked before the download</source>
        <translation>手机下载前为锁网版</translation>
    </message>
    <message>
        <source>Keep the network lock data</source>
        <translation>保存锁网信息</translation>
    </message>
    <message>
        <source>Same UI</source>
        <translation>UI一致</translation>
    </message>
    <message>
        <source>Use the armprg of the version</source>
        <translation>使用版本中的armprg</translation>
    </message>
    <message>
        <source>Check Download Mode</source>
        <translation>检查下载模式</translation>
    </message>
    <message>
        <source>Single Switch</source>
        <translation>逐个切换</translation>
    </message>
    <message>
        <source>USB high-speed download</source>
        <translation>采用USB高速下载</translation>
    </message>
    <message>
        <source>Sales statistics on</source>
        <translation>打开销量统计</translation>
    </message>
    <message>
        <source>Sales statistics off</source>
        <translation>关闭销量统计</translation>
    </message>
    <message>
        <source>Please choose the NV directory</source>
        <translation>请选择NV目录</translation>
    </message>
    <message>
        <source>NVM Files (*.NVM *.nvm)</source>
        <translation>NVM文件 (*.NVM *.nvm)</translation>
    </message>
    <message>
        <source>Bin Files (*.bin)</source>
        <translation>Bin文件 (*.bin)</translation>
    </message>
    <message>
        <source>%1 is too long for the settings.</source>
        <translation>%1 太长，配置中放不下。</translation>
    </message>
    <message>
        <source>Start every line with a stick (Ctrl+Return)</source>
        <translation>开始所有接有设备的线路（Ctrl+Return）</translation>
    </message>
</context>
<context>
    <name>pellan::gui::FormActions</name>
    <message>
        <source>Hide port</source>
        <translation>隐藏端口</translation>
    </message>
    <message>
        <source>Restore port</source>
        <translation>恢复端口</translation>
    </message>
    <message>
        <source>Connect all</source>
        <translation>全部连接</translation>
    </message>
    <message>
        <source>Release all</source>
        <translation>全部释放</translation>
    </message>
</context>
<context>
    <name>pellan::gui::FormView</name>
    <message>
        <source>This upgrade tool is compatible with Windows XP (SP2/SP3), Windows Vista (SP1/SP2) and Windows7 SP1.</source>
        <translation>本升级工具适用于 Windows XP (SP2/SP3)、Windows Vista (SP1/SP2) 和 Windows7 SP1。</translation>
    </message>
    <message>
        <source>In Windows 7 or Vista please right click the tool and select &apos;Run as administrator&apos;.</source>
        <translation>在 Windows 7 或 Vista 下，请右键单击本工具并选择“以管理员身份运行”。</translation>
    </message>
    <message>
        <source>This upgrade tool is compatible with Linux, with the kernel&apos;s USB serial drivers (usb-serial/option or cdc-acm) for the stick&apos;s ports.</source>
        <translation>本升级工具适用于 Linux，设备的端口需要内核的 USB 串口驱动（usb-serial/option 或 cdc-acm）。</translation>
    </message>
    <message>
        <source>On Linux your user must be in the dialout group to use the stick&apos;s ports (sudo adduser $USER dialout, then log in again).</source>
        <translation>在 Linux 下，您的用户必须属于 dialout 组才能使用设备的端口（执行 sudo adduser $USER dialout，然后重新登录）。</translation>
    </message>
    <message>
        <source>Do not switch off your computer or start any other applications until the update is complete.</source>
        <translation>升级完成之前，请勿关闭电脑，也不要启动任何其他应用程序。</translation>
    </message>
    <message>
        <source>The update will fail if your computer goes to sleep, standby or hibernates during the update. </source>
        <translation>升级期间电脑若进入睡眠、待机或休眠状态，升级将会失败。</translation>
    </message>
    <message>
        <source>Make sure the stick is connected to mains power.</source>
        <translation>请确保设备已连接到市电电源。</translation>
    </message>
    <message>
        <source>Do not insert or remove any USB devices until the update is complete.</source>
        <translation>升级完成之前，请勿插入或拔出任何 USB 设备。</translation>
    </message>
    <message>
        <source>Do not use a USB hub. Please connect directly to the PC.</source>
        <translation>请勿使用 USB 集线器，请将设备直接连接到电脑。</translation>
    </message>
    <message>
        <source>1.Remove your SIM card and T-Flash card from the stick then insert the stick into the PC.</source>
        <translation>1.从设备中取出 SIM 卡和 T-Flash 卡，然后将设备插入电脑。</translation>
    </message>
    <message>
        <source>2.Wait until the tool detects your stick and display the current port and version.</source>
        <translation>2.等待本工具检测到您的设备并显示当前端口和版本。</translation>
    </message>
    <message>
        <source>3.After the &quot;Update&quot; button becomes available, click it to start the update.</source>
        <translation>3.“升级”按钮可用后，单击该按钮开始升级。</translation>
    </message>
    <message>
        <source>Follow these steps to update your USB stick:</source>
        <translation>请按以下步骤升级您的 USB 设备：</translation>
    </message>
    <message>
        <source>The update should take approximately 10 minutes to complete.</source>
        <translation>升级大约需要 10 分钟。</translation>
    </message>
    <message>
        <source>Current version:</source>
        <translation>当前版本：</translation>
    </message>
    <message>
        <source>Port Information:</source>
        <translation>端口信息：</translation>
    </message>
    <message>
        <source>Update version:</source>
        <translation>升级版本：</translation>
    </message>
    <message>
        <source>Progress: </source>
        <translation>进度：</translation>
    </message>
    <message>
        <source>UPDATE</source>
        <translation>升级</translation>
    </message>
</context>
<context>
    <name>pellan::gui::HistoryWindow</name>
    <message>
        <source>Started (UTC)</source>
        <translation>开始时间 (UTC)</translation>
    </message>
    <message>
        <source>Line</source>
        <translation>线路</translation>
    </message>
    <message>
        <source>Job</source>
        <translation>任务</translation>
    </message>
    <message>
        <source>IMEI</source>
        <translation>IMEI号</translation>
    </message>
    <message>
        <source>ESN</source>
        <translation>ESN号</translation>
    </message>
    <message>
        <source>Result</source>
        <translation>结果</translation>
    </message>
    <message>
        <source>Code</source>
        <translation>结果码</translation>
    </message>
    <message>
        <source>Seconds</source>
        <translation>秒数</translation>
    </message>
    <message>
        <source>Rewritten</source>
        <translation>重写块数</translation>
    </message>
    <message>
        <source>Text</source>
        <translation>文本</translation>
    </message>
    <message>
        <source>Update</source>
        <translation>升级</translation>
    </message>
    <message>
        <source>Repair</source>
        <translation>修复</translation>
    </message>
    <message>
        <source>Backup NV</source>
        <translation>备份NV</translation>
    </message>
    <message>
        <source>Restore NV</source>
        <translation>恢复NV</translation>
    </message>
    <message>
        <source>History</source>
        <translation>历史记录</translation>
    </message>
    <message>
        <source>IMEI (15 digits; empty: every stick)</source>
        <translation>IMEI号（15位数字；留空：所有设备）</translation>
    </message>
    <message>
        <source>Refresh</source>
        <translation>刷新</translation>
    </message>
    <message>
        <source>IMEI:</source>
        <translation>IMEI号：</translation>
    </message>
    <message>
        <source>An IMEI has fifteen digits.</source>
        <translation>IMEI号为15位数字。</translation>
    </message>
    <message>
        <source>History store %1 cannot be used: %2</source>
        <translation>无法使用历史记录库 %1：%2</translation>
    </message>
    <message>
        <source>No history store.</source>
        <translation>没有历史记录库。</translation>
    </message>
    <message>
        <source>pass</source>
        <translation>通过</translation>
    </message>
    <message>
        <source>fail</source>
        <translation>失败</translation>
    </message>
    <message>
        <source>1 job</source>
        <translation>1 个任务</translation>
    </message>
    <message>
        <source>%1 jobs</source>
        <translation>%1 个任务</translation>
    </message>
</context>
<context>
    <name>pellan::gui::PortSettingsDialog</name>
    <message>
        <source>Port Setting</source>
        <translation>端口配置</translation>
    </message>
    <message>
        <source>Line%1----DIAG</source>
        <translation>线路%1----DIAG</translation>
    </message>
    <message>
        <source>Line%1----DATA</source>
        <translation>线路%1----DATA</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>确定</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>取消</translation>
    </message>
</context>
<context>
    <name>pellan::gui::QtViewSink</name>
    <message>
        <source>OK</source>
        <translation>确定</translation>
    </message>
    <message>
        <source>Yes</source>
        <translation>是</translation>
    </message>
    <message>
        <source>No</source>
        <translation>否</translation>
    </message>
</context>
</TS>
